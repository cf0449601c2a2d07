#include "api/api.h"
#include "scriptedserver.h"
#include "testenvironment.h"

#include <QApplication>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace
{

const QString brokenOff = QStringLiteral("回复连接中断，请重试");

// Every callback of one stream, in order: "delta:<text>", "done:<json>", "error:<text>".
struct Calls {
    QStringList list;

    bool ended() const
    {
        return std::any_of(list.begin(), list.end(), [](const QString& call) {
            return call.startsWith("done:") || call.startsWith("error:");
        });
    }
};

std::shared_ptr<Calls> startStream(Api& api, const QJsonObject& body = {{"prompt", "hi"}})
{
    auto calls = std::make_shared<Calls>();
    api.streamChat(
        body, [calls](QString text) { calls->list << "delta:" + text; },
        [calls](QJsonObject result) {
            calls->list << "done:" + QString::fromUtf8(
                                         QJsonDocument(result).toJson(QJsonDocument::Compact));
        },
        [calls](QString error) { calls->list << "error:" + error; });
    return calls;
}

// Waits until the reply is finished and gone, so every callback it will ever make is made.
bool waitForReplyGone(Api& api, int timeoutMs = 10000)
{
    return QTest::qWaitFor([&] { return api.network.findChildren<QNetworkReply*>().isEmpty(); },
                           timeoutMs);
}

// The stream body as the server plays it; `cuts` are positions inside `body`.
ScriptedReply streamReply(const QByteArray& body, const QList<int>& cuts = {},
                          ScriptedReply::Ending ending = ScriptedReply::Ending::Close)
{
    ScriptedReply reply = ScriptedReply::eventStream(body);
    const int head = int(reply.bytes.size() - body.size());
    for (int cut : cuts)
        reply.splitAt << head + cut;
    reply.pauseMs = 15;
    reply.ending = ending;
    return reply;
}

const QByteArray threeEvents = "event: delta\ndata: {\"text\":\"你好\"}\n\n"
                               "event: delta\ndata: {\"text\":\", world\"}\n\n"
                               "event: done\ndata: {\"content\":\"你好, world\",\"points\":7,"
                               "\"charged\":1,\"truncated\":false}\n\n";
const QStringList threeCalls{
    "delta:你好", "delta:, world",
    "done:{\"charged\":1,\"content\":\"你好, world\",\"points\":7,\"truncated\":false}"};

QByteArray withCrlf(QByteArray bytes)
{
    return bytes.replace("\n", "\r\n");
}

} // namespace

class TstStream : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScriptedServer> server;
    std::unique_ptr<Api> api;

private slots:
    void init()
    {
        server = std::make_unique<ScriptedServer>();
        qputenv("KESTRUNEAI_BASE_URL", server->origin().toUtf8());
        api = std::make_unique<Api>();
    }

    void cleanup()
    {
        api.reset();
        server.reset();
        qunsetenv("KESTRUNEAI_BASE_URL");
    }

    void callbacks_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QList<int>>("cuts");
        QTest::addColumn<QStringList>("expected");

        const QByteArray crlf = withCrlf(threeEvents);
        QTest::newRow("one read") << threeEvents << QList<int>{} << threeCalls;
        QTest::newRow("cut inside event:")
            << threeEvents << QList<int>{3, int(threeEvents.indexOf("event:", 10)) + 3}
            << threeCalls;
        QTest::newRow("cut inside a multi-byte character")
            << threeEvents << QList<int>{int(threeEvents.indexOf("你")) + 1} << threeCalls;
        QTest::newRow("cut inside the JSON")
            << threeEvents << QList<int>{int(threeEvents.indexOf("points")) + 2} << threeCalls;
        QTest::newRow("cut right after the first line feed of a blank line")
            << threeEvents << QList<int>{int(threeEvents.indexOf("\n\n")) + 1} << threeCalls;
        QTest::newRow("crlf one read") << crlf << QList<int>{} << threeCalls;
        QList<int> betweenCrAndLf;
        for (qsizetype at = crlf.indexOf('\r'); at >= 0; at = crlf.indexOf('\r', at + 1))
            betweenCrAndLf << int(at) + 1;
        QTest::newRow("crlf cut between every CR and LF") << crlf << betweenCrAndLf << threeCalls;

        QTest::newRow("block without event line ignored")
            << QByteArray("data: {\"text\":\"lost\"}\n\nevent: done\ndata: {}\n\n") << QList<int>{}
            << QStringList{"done:{}"};
        QTest::newRow("two data halves joined")
            << QByteArray(
                   "event: delta\ndata: {\"te\ndata: xt\":\"ab\"}\n\nevent: done\ndata: {}\n\n")
            << QList<int>{20} << QStringList{"delta:ab", "done:{}"};
        QTest::newRow("names with and without spaces")
            << QByteArray("event:delta\ndata:{\"text\":\"a\"}\n\n"
                          "event:   delta  \ndata:   {\"text\":\"b\"}  \n\n"
                          "event:done\ndata:{}\n\n")
            << QList<int>{} << QStringList{"delta:a", "delta:b", "done:{}"};
        QTest::newRow("missing or non-string text")
            << QByteArray("event: delta\ndata: {}\n\nevent: delta\ndata: {\"text\":5}\n\n"
                          "event: done\ndata: {}\n\n")
            << QList<int>{} << QStringList{"delta:", "delta:", "done:{}"};
        QTest::newRow("invalid JSON data")
            << QByteArray("event: delta\ndata: {oops\n\nevent: error\ndata: not json\n\n")
            << QList<int>{} << QStringList{"delta:", "error:"};
        QTest::newRow("unknown events ignored")
            << QByteArray("event: ping\ndata: {}\n\nevent: Delta\ndata: {\"text\":\"x\"}\n\n"
                          "event: error\ndata: {\"error\":\"额度不足。\"}\n\n")
            << QList<int>{} << QStringList{"error:额度不足。"};
        QTest::newRow("error then close")
            << QByteArray("event: delta\ndata: {\"text\":\"a\"}\n\n"
                          "event: error\ndata: {\"error\":\"模型暂时不可用。\"}\n\n")
            << QList<int>{30} << QStringList{"delta:a", "error:模型暂时不可用。"};
        QTest::newRow("empty body")
            << QByteArray() << QList<int>{} << QStringList{"error:" + brokenOff};
        QTest::newRow("close without a final event")
            << QByteArray("event: delta\ndata: {\"text\":\"a\"}\n\n") << QList<int>{}
            << QStringList{"delta:a", "error:" + brokenOff};
        QTest::newRow("unterminated last block")
            << QByteArray("event: delta\ndata: {\"text\":\"a\"}\n\nevent: done\ndata: {}\n")
            << QList<int>{} << QStringList{"delta:a", "error:" + brokenOff};
        // The transport does not deduplicate: whatever follows the final event still arrives.
        QTest::newRow("events after done still dispatched")
            << QByteArray("event: done\ndata: {}\n\nevent: delta\ndata: {\"text\":\"late\"}\n\n")
            << QList<int>{24} << QStringList{"done:{}", "delta:late"};
    }

    void callbacks()
    {
        QFETCH(QByteArray, body);
        QFETCH(QList<int>, cuts);
        QFETCH(QStringList, expected);
        server->enqueue(streamReply(body, cuts));
        const auto calls = startStream(*api);
        QVERIFY(waitForReplyGone(*api));
        QCOMPARE(calls->list, expected);
    }

    void requestShape_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<QByteArray>("authorization");
        // The recorder trims header values: "Bearer " arrives as "Bearer".
        QTest::newRow("empty token") << QString() << QByteArray("Bearer");
        QTest::newRow("token") << QString("tok-123") << QByteArray("Bearer tok-123");
    }

    void requestShape()
    {
        QFETCH(QString, token);
        QFETCH(QByteArray, authorization);
        api->token = token;
        server->enqueue(streamReply("event: done\ndata: {}\n\n"));
        const QJsonObject body{{"prompt", "第一行\n第二行"}, {"conversation_id", "c1"}};
        const auto calls = startStream(*api, body);
        QVERIFY(waitForReplyGone(*api));
        QCOMPARE(calls->list, QStringList{"done:{}"});

        QCOMPARE(server->requestCount(), 1);
        const RecordedRequest& request = server->requests().first();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.path, QByteArray("/api/chat/stream"));
        QCOMPARE(request.header("content-type"), QByteArray("application/json"));
        QCOMPARE(request.header("accept"), QByteArray("text/event-stream"));
        QVERIFY(request.headers.contains("authorization"));
        QCOMPARE(request.header("authorization"), authorization);
        QCOMPARE(request.body, QJsonDocument(body).toJson(QJsonDocument::Compact));
        QVERIFY(!request.body.contains(' ') && !request.body.contains('\n'));
    }

    // Unlike ordinary requests, the stream follows a redirect of the service.
    void followsRedirect()
    {
        server->enqueue(ScriptedReply::http(307, {}, {}, {"Location: /api/chat/stream-moved"}));
        server->enqueue(streamReply(threeEvents));
        const auto calls = startStream(*api);
        QVERIFY(waitForReplyGone(*api));
        QCOMPARE(calls->list, threeCalls);
        QCOMPARE(server->requestCount(), 2);
        QCOMPARE(server->requests().at(1).path, QByteArray("/api/chat/stream-moved"));
        QCOMPARE(server->requests().at(1).body, QByteArray("{\"prompt\":\"hi\"}"));
    }

    void plainJsonErrorReply()
    {
        server->enqueue(ScriptedReply::json(401, "{\"error\":\"登录已过期，请重新登录。\"}"));
        const auto calls = startStream(*api);
        QVERIFY(waitForReplyGone(*api));
        QCOMPARE(calls->list, QStringList{"error:登录已过期，请重新登录。"});
    }

    void errorStatusWithoutJsonUsesTheNetworkText()
    {
        server->enqueue(ScriptedReply::http(500, "<html>oops</html>", "text/html"));
        const auto calls = startStream(*api);
        QVERIFY(waitForReplyGone(*api));
        QCOMPARE(calls->list.size(), 1);
        const QString text = calls->list.first();
        QVERIFY2(text.startsWith("error:") && text.size() > 6, qPrintable(text));
        QVERIFY(text != "error:" + brokenOff);
    }

    void doneThenConnectionBreaks()
    {
        server->enqueue(streamReply("event: delta\ndata: {\"text\":\"a\"}\n\n"
                                    "event: done\ndata: {\"content\":\"a\"}\n\nevent: del",
                                    {}, ScriptedReply::Ending::Abort));
        const auto calls = startStream(*api);
        QVERIFY(waitForReplyGone(*api));
        QCOMPARE(calls->list, (QStringList{"delta:a", "done:{\"content\":\"a\"}"}));
    }

    void brokenConnectionWithoutDone()
    {
        server->enqueue(streamReply("event: delta\ndata: {\"text\":\"a\"}\n\n", {},
                                    ScriptedReply::Ending::Abort));
        const auto calls = startStream(*api);
        QVERIFY(waitForReplyGone(*api));
        QCOMPARE(calls->list.size(), 2);
        QCOMPARE(calls->list.first(), QString("delta:a"));
        // A reset is a network error: its own text, not the clean-close text.
        QVERIFY(calls->list.last().startsWith("error:"));
    }

    void silentStreamTimesOut()
    {
        api->transferTimeoutMs = 300;
        server->enqueue(streamReply("event: delta\ndata: {\"text\":\"a\"}\n\n", {},
                                    ScriptedReply::Ending::HoldOpen));
        const auto calls = startStream(*api);
        QVERIFY(waitForReplyGone(*api, 5000));
        QCOMPARE(calls->list.size(), 2);
        QCOMPARE(calls->list.first(), QString("delta:a"));
        const QString error = calls->list.last();
        QVERIFY2(error.startsWith("error:") && error.size() > 6 && error != "error:" + brokenOff,
                 qPrintable(error));
    }

    // The limit counts silence, not duration: a slow stream that keeps talking is not cut.
    void steadyStreamOutlivesTheTimeout()
    {
        api->transferTimeoutMs = 300;
        QByteArray body;
        QList<int> cuts;
        for (int i = 0; i < 6; ++i) {
            body += "event: delta\ndata: {\"text\":\"" + QByteArray::number(i) + "\"}\n\n";
            cuts << int(body.size());
        }
        body += "event: done\ndata: {}\n\n";
        ScriptedReply reply = streamReply(body, cuts);
        reply.pauseMs = 120; // 720 ms in all, never 300 ms silent
        server->enqueue(reply);
        const auto calls = startStream(*api);
        QVERIFY(waitForReplyGone(*api));
        QCOMPARE(calls->list, (QStringList{"delta:0", "delta:1", "delta:2", "delta:3", "delta:4",
                                           "delta:5", "done:{}"}));
    }

    void connectionRefused()
    {
        const QString origin = server->origin();
        server.reset(); // nobody listens on that port any more
        qputenv("KESTRUNEAI_BASE_URL", origin.toUtf8());
        api = std::make_unique<Api>();
        const auto calls = startStream(*api);
        QVERIFY(waitForReplyGone(*api));
        QCOMPARE(calls->list.size(), 1);
        QVERIFY(calls->list.first().startsWith("error:") && calls->list.first().size() > 6);
        QVERIFY(calls->list.first() != "error:" + brokenOff);
    }

    void endlessBlockIsCutOff_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("mid-reply") << QByteArray("event: delta\ndata: {\"text\":\"你好\"}\n\n")
                                   << QStringList{"delta:你好", "error:" + brokenOff};
        QTest::newRow("after the final event")
            << QByteArray("event: done\ndata: {}\n\n") << QStringList{"done:{}"};
    }

    void endlessBlockIsCutOff()
    {
        // A block that never ends would grow the client's memory without bound: past a few
        // MiB the stream counts as broken, once, without waiting for the service to stop.
        QFETCH(QByteArray, before);
        QFETCH(QStringList, expected);
        QByteArray body = before + "event: delta\ndata: \"";
        const int headSize = int(body.size());
        body += QByteArray(12 * 1024 * 1024, 'x');
        ScriptedReply reply = streamReply(body, {}, ScriptedReply::Ending::HoldOpen);
        reply.pauseMs = 0;
        for (int at = headSize; at < body.size(); at += 256 * 1024)
            reply.splitAt << int(reply.bytes.size() - body.size()) + at;
        server->enqueue(reply);
        const auto calls = startStream(*api);
        QVERIFY(waitForReplyGone(*api, 20000));
        QCOMPARE(calls->list, expected);
    }

    // Callbacks run from the event loop, never inside streamChat itself.
    void returnsAtOnce()
    {
        server->enqueue(streamReply(threeEvents));
        const auto calls = startStream(*api);
        QVERIFY(calls->list.isEmpty());
        QVERIFY(waitForReplyGone(*api));
        QVERIFY(calls->ended());
    }
};

KESTRUNE_TEST_MAIN(TstStream)
#include "tst_stream.moc"
