#include "api/api.h"
#include "api/origin.h"
#include "api/replyjudgement.h"
#include "scriptedserver.h"
#include "testenvironment.h"

#include <QApplication>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QtTest>

#include <optional>

namespace
{

struct Outcome {
    bool ok = false;
    QJsonObject body;
    QString error;
};

// Sends one request and waits for its single completion.
std::optional<Outcome> call(Api& api, const QByteArray& method, const QString& path,
                            const QJsonObject& body = {})
{
    int completions = 0;
    Outcome outcome;
    api.request(method, path, body, [&](bool ok, const QJsonObject& reply, const QString& error) {
        ++completions;
        outcome = {ok, reply, error};
    });
    if (!QTest::qWaitFor([&] { return completions > 0; }, 10000))
        return std::nullopt;
    QTest::qWait(20); // a second completion would show up here
    if (completions != 1)
        return std::nullopt;
    return outcome;
}

} // namespace

class TstApi : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { qunsetenv("KESTRUNEAI_BASE_URL"); }

    void originRule_data()
    {
        QTest::addColumn<QByteArray>("environment");
        QTest::addColumn<QString>("expected");
        const QString fallback = QString::fromLatin1(defaultServiceOrigin);
        QTest::newRow("unset") << QByteArray() << fallback;
        QTest::newRow("https accepted")
            << QByteArray("https://chat.example.org") << "https://chat.example.org";
        QTest::newRow("https with port")
            << QByteArray("https://chat.example.org:8443") << "https://chat.example.org:8443";
        QTest::newRow("loopback http with port")
            << QByteArray("http://127.0.0.1:8787") << "http://127.0.0.1:8787";
        QTest::newRow("localhost refused") << QByteArray("http://localhost:8787") << fallback;
        QTest::newRow("plain http refused") << QByteArray("http://chat.example.org") << fallback;
        // The URL parser folds the scheme to lower case, as URL schemes are case-insensitive.
        QTest::newRow("upper-case scheme")
            << QByteArray("HTTPS://chat.example.org") << "https://chat.example.org";
        QTest::newRow("no scheme") << QByteArray("chat.example.org") << fallback;
        QTest::newRow("garbage") << QByteArray("http://[::1") << fallback;
        QTest::newRow("other loopback address") << QByteArray("http://127.0.0.2:80") << fallback;
    }

    void originRule()
    {
        QFETCH(QByteArray, environment);
        QFETCH(QString, expected);
        QCOMPARE(chooseServiceOrigin(environment), QUrl(expected));
        QVERIFY(QUrl(QString::fromLatin1(defaultServiceOrigin)).scheme() == "https");
    }

    void constructorReadsTheEnvironment()
    {
        qputenv("KESTRUNEAI_BASE_URL", "http://127.0.0.1:9/v1/");
        Api api;
        QCOMPARE(api.baseUrl, QUrl("http://127.0.0.1:9/v1/"));
        qputenv("KESTRUNEAI_BASE_URL", "http://localhost:9");
        Api refused;
        QCOMPARE(refused.baseUrl, QUrl(QString::fromLatin1(defaultServiceOrigin)));
    }

    void basePathIsDropped()
    {
        ScriptedServer server;
        server.enqueue(ScriptedReply::json(200, "{}"));
        qputenv("KESTRUNEAI_BASE_URL", (server.origin() + "/v2/prefix?x=1#frag").toUtf8());
        Api api;
        QVERIFY(call(api, "GET", "/api/models"));
        QCOMPARE(server.requests().at(0).path, QByteArray("/api/models"));
    }

    void headersWithoutAndWithToken()
    {
        ScriptedServer server;
        server.setHandler([](const RecordedRequest&) { return ScriptedReply::json(200, "{}"); });
        qputenv("KESTRUNEAI_BASE_URL", server.origin().toUtf8());
        Api api;
        QVERIFY(api.token.isEmpty());
        QVERIFY(call(api, "GET", "/api/me"));
        const RecordedRequest anonymous = server.requests().at(0);
        QCOMPARE(anonymous.header("content-type"), QByteArray("application/json"));
        QVERIFY(!anonymous.headers.contains("authorization"));

        api.token = QStringLiteral("tök-1");
        QVERIFY(call(api, "POST", "/api/auth/login", {{"login", "a"}}));
        QCOMPARE(server.requests().at(1).header("authorization"),
                 QByteArray("Bearer ") + QStringLiteral("tök-1").toUtf8());
        QCOMPARE(server.requests().at(1).header("content-type"), QByteArray("application/json"));
    }

    void verbsAndBodies_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QJsonObject>("body");
        QTest::addColumn<QByteArray>("sentBody");
        QTest::newRow("GET ignores the body")
            << QByteArray("GET") << QJsonObject{{"a", 1}} << QByteArray();
        QTest::newRow("POST compact JSON")
            << QByteArray("POST") << QJsonObject{{"title", "x y"}, {"n", 2}}
            << QByteArray(R"({"n":2,"title":"x y"})");
        QTest::newRow("PATCH custom verb") << QByteArray("PATCH") << QJsonObject{{"title", "新"}}
                                           << QStringLiteral(R"({"title":"新"})").toUtf8();
        QTest::newRow("DELETE sends {}")
            << QByteArray("DELETE") << QJsonObject() << QByteArray("{}");
    }

    void verbsAndBodies()
    {
        QFETCH(QByteArray, method);
        QFETCH(QJsonObject, body);
        QFETCH(QByteArray, sentBody);
        ScriptedServer server;
        server.enqueue(ScriptedReply::json(200, "{}"));
        qputenv("KESTRUNEAI_BASE_URL", server.origin().toUtf8());
        Api api;
        QVERIFY(call(api, method, "/api/conversations/abc-1", body));
        const RecordedRequest sent = server.requests().at(0);
        QCOMPARE(sent.method, method);
        QCOMPARE(sent.path, QByteArray("/api/conversations/abc-1"));
        QCOMPARE(sent.body, sentBody);
        QCOMPARE(sent.header("content-type"), QByteArray("application/json"));
    }

    void judgement_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QJsonObject>("object");
        QTest::newRow("2xx empty body")
            << 200 << QByteArray() << true << QString() << QJsonObject();
        QTest::newRow("2xx array body")
            << 201 << QByteArray("[1,2]") << true << QString() << QJsonObject();
        QTest::newRow("2xx invalid JSON")
            << 200 << QByteArray("{oops") << true << QString() << QJsonObject();
        QTest::newRow("401 with error")
            << 401 << QByteArray(R"({"error":"请先登录。"})") << false
            << QStringLiteral("请先登录。") << QJsonObject{{"error", QStringLiteral("请先登录。")}};
        QTest::newRow("302 not followed")
            << 302 << QByteArray() << false << QStringLiteral("HTTP 302") << QJsonObject();
        QTest::newRow("302 with error text")
            << 302 << QByteArray(R"({"error":"moved"})") << false << QStringLiteral("moved")
            << QJsonObject{{"error", "moved"}};
    }

    void judgement()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, ok);
        QFETCH(QString, error);
        QFETCH(QJsonObject, object);
        ScriptedServer server;
        server.enqueue(ScriptedReply::http(status, body, "application/json",
                                           {"Location: http://127.0.0.1:1/elsewhere"}));
        qputenv("KESTRUNEAI_BASE_URL", server.origin().toUtf8());
        Api api;
        const std::optional<Outcome> outcome = call(api, "GET", "/api/me");
        QVERIFY(outcome);
        QCOMPARE(outcome->ok, ok);
        QCOMPARE(outcome->error, error);
        QCOMPARE(outcome->body, object);
        QCOMPARE(server.requestCount(), 1); // a redirect is never followed
    }

    void nonStringErrorFallsBack()
    {
        // 4xx is a network-layer error too: its own text stands in for a non-string "error".
        const ReplyJudgement judged = judgeReply(R"({"error":{"code":7}})", 400, true, "Bad thing");
        QVERIFY(!judged.ok);
        QCOMPARE(judged.error, QStringLiteral("Bad thing"));
        const ReplyJudgement redirect = judgeReply(R"({"error":42})", 307, false, QString());
        QCOMPARE(redirect.error, QStringLiteral("HTTP 307"));
        QCOMPARE(redirect.body.value("error").toInt(), 42); // callers may still read the body
    }

    void serverErrorWithoutJsonUsesNetworkText()
    {
        ScriptedServer server;
        server.enqueue(ScriptedReply::http(500, "<html>oops</html>", "text/html"));
        qputenv("KESTRUNEAI_BASE_URL", server.origin().toUtf8());
        Api api;
        const std::optional<Outcome> outcome = call(api, "GET", "/api/me");
        QVERIFY(outcome);
        QVERIFY(!outcome->ok);
        QVERIFY(!outcome->error.isEmpty());
        QVERIFY(!outcome->error.startsWith("HTTP "));
    }

    void networkErrors()
    {
        // A port nobody listens on: refused at once.
        quint16 closedPort = 0;
        {
            ScriptedServer probe;
            closedPort = probe.port();
        }
        qputenv("KESTRUNEAI_BASE_URL",
                QStringLiteral("http://127.0.0.1:%1").arg(closedPort).toUtf8());
        Api api;
        const std::optional<Outcome> refused = call(api, "GET", "/api/me");
        QVERIFY(refused);
        QVERIFY(!refused->ok);
        QVERIFY(!refused->error.isEmpty());
        QCOMPARE(refused->body, QJsonObject());

        // A connection cut before any reply.
        ScriptedServer server;
        ScriptedReply cut = ScriptedReply::json(200, R"({"user":{}})");
        cut.cutAfter = 0;
        cut.ending = ScriptedReply::Ending::Abort;
        server.enqueue(cut);
        qputenv("KESTRUNEAI_BASE_URL", server.origin().toUtf8());
        Api second;
        const std::optional<Outcome> broken = call(second, "GET", "/api/me");
        QVERIFY(broken);
        QVERIFY(!broken->ok);
        QVERIFY(!broken->error.isEmpty());
    }

    void silentServerTimesOut()
    {
        ScriptedServer server;
        ScriptedReply silent;
        silent.ending = ScriptedReply::Ending::HoldOpen;
        server.enqueue(silent);
        qputenv("KESTRUNEAI_BASE_URL", server.origin().toUtf8());
        Api api;
        QCOMPARE(api.transferTimeoutMs, 100000);
        api.transferTimeoutMs = 300;
        const std::optional<Outcome> outcome = call(api, "GET", "/api/models");
        QVERIFY(outcome);
        QVERIFY(!outcome->ok);
        QVERIFY(!outcome->error.isEmpty());
    }

    void callbacksNeverRunAfterTheApiIsGone()
    {
        ScriptedServer server;
        server.holdReplies(true);
        qputenv("KESTRUNEAI_BASE_URL", server.origin().toUtf8());
        bool called = false;
        {
            Api api;
            api.request("GET", "/api/me", {},
                        [&](bool, const QJsonObject&, const QString&) { called = true; });
            QVERIFY(server.waitForRequests(1));
        }
        server.release();
        QTest::qWait(100);
        QVERIFY(!called);
    }
};

KESTRUNE_TEST_MAIN(TstApi)
#include "tst_api.moc"
