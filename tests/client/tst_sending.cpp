#include "api/api.h"
#include "chat/chatwindow.h"
#include "chat/privatehistory.h"
#include "chat/threadrecords.h"
#include "probes.h"
#include "scriptedserver.h"
#include "testenvironment.h"

#include <QApplication>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>
#include <QtTest>

#include <memory>

namespace
{

const QString connecting = QStringLiteral("正在连接模型，回复会逐字显示…");

QJsonObject parse(const QByteArray& json)
{
    return QJsonDocument::fromJson(json).object();
}

QStringList sortedKeys(const QJsonObject& object)
{
    QStringList keys = object.keys();
    keys.sort();
    return keys;
}

QJsonArray numberedRecords(int count)
{
    QJsonArray records;
    for (int i = 1; i <= count; ++i)
        records.append(QJsonObject{{"role", i % 2 ? "user" : "assistant"},
                                   {"content", QString("m%1").arg(i)},
                                   {"extra", i}}); // kept exactly as stored
    return records;
}

QByteArray sse(const QByteArray& name, const QJsonObject& data)
{
    return "event: " + name + "\ndata: " + QJsonDocument(data).toJson(QJsonDocument::Compact) +
           "\n\n";
}

QByteArray delta(const QString& text)
{
    return sse("delta", {{"text", text}});
}

// A stream reply whose pieces are the given events, `pauseMs` apart.
ScriptedReply streamOf(const QList<QByteArray>& pieces, int pauseMs = 15,
                       ScriptedReply::Ending ending = ScriptedReply::Ending::Close)
{
    ScriptedReply reply = ScriptedReply::eventStream(pieces.join());
    int at = int(reply.bytes.size() - pieces.join().size());
    for (const QByteArray& piece : pieces)
        reply.splitAt << (at += int(piece.size()));
    reply.pauseMs = pauseMs;
    reply.ending = ending;
    return reply;
}

// A signed-in workspace talking to a scripted service with two models.
struct Workspace {
    ScriptedServer server;
    std::unique_ptr<Api> api;
    QPointer<ChatWindow> window;
    QByteArray models =
        R"({"models":[{"id":"kestrune-echo","display_name":"回声","points_per_100":2},
        {"id":"kestrune-showcase","display_name":"Markdown 展示","points_per_100":1}]})";
    ScriptedReply creation = ScriptedReply::json(201, R"({"conversation":{"id":"c-new"}})");
    QList<ScriptedReply> streams;

    Workspace()
    {
        server.setHandler([this](const RecordedRequest& request) {
            if (request.path == "/api/models")
                return ScriptedReply::json(200, models);
            if (request.path == "/api/conversations" && request.method == "GET")
                return ScriptedReply::json(200, R"({"conversations":[]})");
            if (request.path == "/api/conversations" && request.method == "POST")
                return creation;
            if (request.path == "/api/chat/stream" && !streams.isEmpty())
                return streams.takeFirst();
            return ScriptedReply::json(404, R"({"error":"unexpected"})");
        });
        qputenv("KESTRUNEAI_BASE_URL", server.origin().toUtf8());
        api = std::make_unique<Api>();
    }

    ~Workspace()
    {
        delete window.data();
        qunsetenv("KESTRUNEAI_BASE_URL");
    }

    bool open()
    {
        window = new ChatWindow(
            api.get(), QJsonObject{{"id", "u1"}, {"username", "mei"}, {"points", 100}}, [] {});
        return server.waitForRequests(2) && QTest::qWaitFor([this] {
                   return requestsTo("GET", "/api/models") == 1 &&
                          api->network.findChildren<QNetworkReply*>().isEmpty();
               });
    }

    ChatWindowProbe probe() const { return ChatWindowProbe(window); }

    int requestsTo(const QByteArray& method, const QByteArray& path) const
    {
        int count = 0;
        for (const RecordedRequest& request : server.requests())
            count += request.method == method && request.path == path;
        return count;
    }

    QJsonObject lastStreamBody() const
    {
        for (qsizetype i = server.requestCount() - 1; i >= 0; --i)
            if (server.requests().at(i).path == "/api/chat/stream")
                return parse(server.requests().at(i).body);
        return {};
    }

    void send(const QString& text)
    {
        probe().chatInput()->setPlainText(text);
        probe().submit();
    }

    bool waitIdle(int timeoutMs = 10000)
    {
        return QTest::qWaitFor(
            [this] {
                return window && !probe().busy() &&
                       api->network.findChildren<QNetworkReply*>().isEmpty();
            },
            timeoutMs);
    }
};

} // namespace

class TstSending : public QObject
{
    Q_OBJECT

private slots:
    void refusals_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("busy");
        QTest::newRow("busy") << QString("你好") << true;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("white space and line breaks") << QString("  \n\t \n ") << false;
    }

    void refusals()
    {
        QFETCH(QString, text);
        QFETCH(bool, busy);
        Workspace ws;
        QVERIFY(ws.open());
        ws.probe().busy() = busy;
        ws.probe().chatNotice()->setText("before");
        const int requests = ws.server.requestCount();
        ws.send(text);
        QTest::qWait(50);
        QCOMPARE(ws.server.requestCount(), requests);
        QCOMPARE(ws.probe().chatInput()->toPlainText(), text);
        QVERIFY(ws.probe().messages().isEmpty());
        QCOMPARE(ws.probe().chatNotice()->text(), QString("before"));
        QCOMPARE(ws.probe().busy(), busy);
    }

    void noModelOffered()
    {
        Workspace ws;
        ws.models = R"({"models":[]})";
        QVERIFY(ws.open());
        ws.probe().chatNotice()->setText("before");
        const int requests = ws.server.requestCount();
        ws.send("  你好  ");
        QCOMPARE(ws.probe().chatNotice()->text(), QString("管理员尚未开放聊天模型。"));
        QCOMPARE(ws.probe().chatInput()->toPlainText(), QString("  你好  "));
        QVERIFY(ws.probe().messages().isEmpty());
        QVERIFY(!ws.probe().busy());
        QVERIFY(ws.probe().sendButton()->isEnabled());
        QTest::qWait(50);
        QCOMPARE(ws.server.requestCount(), requests);
    }

    void historyWindow_data()
    {
        QTest::addColumn<int>("confirmed");
        QTest::addColumn<int>("first"); // number of the oldest record sent, 0 for none
        QTest::addColumn<int>("sent");
        QTest::newRow("none") << 0 << 0 << 0;
        QTest::newRow("one") << 1 << 1 << 1;
        QTest::newRow("exactly the limit") << 29 << 1 << 29;
        QTest::newRow("one over") << 30 << 2 << 29;
        QTest::newRow("forty") << 40 << 12 << 29;
    }

    void historyWindow()
    {
        QFETCH(int, confirmed);
        QFETCH(int, first);
        QFETCH(int, sent);
        const QJsonArray records = numberedRecords(confirmed);
        const QJsonArray history = recentHistory(records);
        QCOMPARE(history.size(), sent);
        for (int i = 0; i < sent; ++i)
            QCOMPARE(history.at(i), records.at(first - 1 + i));
    }

    // A private thread sends its recent turns, the model and the marker, and nothing else.
    void privateBody_data()
    {
        QTest::addColumn<int>("confirmed");
        QTest::newRow("new thread") << 0;
        QTest::newRow("forty records") << 40;
    }

    void privateBody()
    {
        QFETCH(int, confirmed);
        Workspace ws;
        QVERIFY(ws.open());
        ChatWindowProbe probe = ws.probe();
        probe.isPrivate() = true;
        probe.privateId() = "p1";
        probe.privateHistory() = numberedRecords(confirmed);
        probe.messages() = probe.privateHistory();
        probe.modelSelect()->setCurrentIndex(1);
        ws.streams << streamOf({sse("done", {{"content", "ok"}})});

        ws.send("  第一行\n  第二行 \n");
        QVERIFY(ws.waitIdle());
        QCOMPARE(ws.requestsTo("POST", "/api/conversations"), 0);
        const QJsonObject body = ws.lastStreamBody();
        QCOMPARE(sortedKeys(body), (QStringList{"history", "mode", "model", "prompt"}));
        QCOMPARE(body.value("prompt").toString(), QString("第一行\n  第二行"));
        QCOMPARE(body.value("mode").toString(), QString("private"));
        QCOMPARE(body.value("model").toString(), QString("kestrune-showcase"));
        QVERIFY(body.value("history").isArray());
        QCOMPARE(body.value("history").toArray(), recentHistory(numberedRecords(confirmed)));
    }

    void cloudBodyForAKnownConversation()
    {
        Workspace ws;
        QVERIFY(ws.open());
        ws.probe().cloudId() = "c1";
        ws.streams << streamOf({sse("done", {{"content", "ok"}})});
        ws.send("hi");
        QVERIFY(ws.waitIdle());
        QCOMPARE(ws.requestsTo("POST", "/api/conversations"), 0);
        QCOMPARE(ws.lastStreamBody(), (QJsonObject{{"prompt", "hi"}, {"conversation_id", "c1"}}));
    }

    void firstPromptCreatesTheConversation()
    {
        Workspace ws;
        QVERIFY(ws.open());
        ChatWindowProbe probe = ws.probe();
        ws.streams << streamOf({delta("答"), sse("done", {{"content", "答"}, {"charged", 1}})});
        ws.server.holdReplies(true);
        ws.send(" 你好 ");

        // Creating: the turn is shown, everything that could change the conversation is locked.
        QCOMPARE(probe.messages(),
                 (QJsonArray{QJsonObject{{"role", "user"}, {"content", "你好"}}}));
        QVERIFY(probe.chatInput()->toPlainText().isEmpty());
        QVERIFY(probe.busy());
        QCOMPARE(probe.chatNotice()->text(), connecting);
        for (QWidget* control :
             QList<QWidget*>{probe.sendButton(), probe.newChatButton(), probe.privateChatButton(),
                             probe.conversationList(), probe.privateList(), probe.renameButton(),
                             probe.deleteButton(), probe.modelSelect()})
            QVERIFY2(!control->isEnabled(), qPrintable(control->objectName()));
        QVERIFY(probe.chatInput()->isEnabled());

        QTRY_COMPARE(ws.requestsTo("POST", "/api/conversations"), 1);
        QCOMPARE(ws.server.requests().last().body, QByteArray(R"({"model":"kestrune-echo"})"));
        ws.server.release();

        QVERIFY(ws.waitIdle());
        QCOMPARE(ws.lastStreamBody(),
                 (QJsonObject{{"prompt", "你好"}, {"conversation_id", "c-new"}}));
        QCOMPARE(probe.cloudId(), QString("c-new"));
        QVERIFY(probe.renameButton()->isEnabled());
        QVERIFY(!probe.modelSelect()->isEnabled());
    }

    void creationFailureRollsBack()
    {
        Workspace ws;
        ws.creation = ScriptedReply::json(500, R"({"error":"模型已下线。"})");
        QVERIFY(ws.open());
        ws.send("hi");
        QVERIFY(ws.waitIdle());
        ChatWindowProbe probe = ws.probe();
        QCOMPARE(probe.chatNotice()->text(), QString("模型已下线。"));
        QVERIFY(probe.cloudId().isEmpty());
        QVERIFY(probe.messages().isEmpty());
        QCOMPARE(probe.chatInput()->toPlainText(), QString("hi"));
        QVERIFY(probe.modelSelect()->isEnabled());
        QVERIFY(!probe.renameButton()->isEnabled());
        QCOMPARE(ws.requestsTo("POST", "/api/chat/stream"), 0);
    }

    // The service knows the conversation now: it stays open with its id, without this turn.
    void streamFailureAfterCreationKeepsTheId()
    {
        Workspace ws;
        QVERIFY(ws.open());
        ws.streams << streamOf({delta("半"), sse("error", {{"error", "额度不足。"}})});
        const int listFetches = ws.requestsTo("GET", "/api/conversations");
        ws.send("hi");
        QVERIFY(ws.waitIdle());
        ChatWindowProbe probe = ws.probe();
        QCOMPARE(probe.cloudId(), QString("c-new"));
        QCOMPARE(probe.chatNotice()->text(), QString("额度不足。"));
        QCOMPARE(probe.chatInput()->toPlainText(), QString("hi"));
        QVERIFY(probe.messages().isEmpty());
        QVERIFY(probe.renameButton()->isEnabled());
        QVERIFY(probe.deleteButton()->isEnabled());
        QVERIFY(!probe.modelSelect()->isEnabled());
        QCOMPARE(ws.requestsTo("GET", "/api/conversations"), listFetches);

        // The next prompt streams into it directly.
        ws.streams << streamOf({sse("done", {{"content", "ok"}})});
        ws.send("again");
        QVERIFY(ws.waitIdle());
        QCOMPARE(ws.requestsTo("POST", "/api/conversations"), 1);
        QCOMPARE(ws.lastStreamBody().value("conversation_id").toString(), QString("c-new"));
    }

    void completion_data()
    {
        QTest::addColumn<QJsonObject>("done");
        QTest::addColumn<QString>("notice");
        QTest::addColumn<int>("points");
        QTest::newRow("charged and truncated") << QJsonObject{{"content", "**答**"},
                                                              {"points", 95},
                                                              {"charged", 3},
                                                              {"truncated", true}}
                                               << "本次使用 3 对话额度 · 回复已截断" << 95;
        QTest::newRow("not truncated")
            << QJsonObject{{"content", "答"}, {"points", 90}, {"charged", 5}, {"truncated", false}}
            << "本次使用 5 对话额度" << 90;
        QTest::newRow("no points")
            << QJsonObject{{"content", "答"}, {"charged", 1}} << "本次使用 1 对话额度" << 0;
        QTest::newRow("empty result") << QJsonObject{} << "本次使用 0 对话额度" << 0;
    }

    void completion()
    {
        QFETCH(QJsonObject, done);
        QFETCH(QString, notice);
        QFETCH(int, points);
        Workspace ws;
        QVERIFY(ws.open());
        ws.probe().cloudId() = "c1";
        ws.streams << streamOf({delta("答"), sse("done", done)});
        const int listFetches = ws.requestsTo("GET", "/api/conversations");
        ws.send("问");
        QVERIFY(ws.waitIdle());
        ChatWindowProbe probe = ws.probe();
        QCOMPARE(probe.messages(),
                 (QJsonArray{QJsonObject{{"role", "user"}, {"content", "问"}},
                             QJsonObject{{"role", "assistant"},
                                         {"content", done.value("content").toString()}}}));
        QCOMPARE(probe.chatNotice()->text(), notice);
        QCOMPARE(probe.user().value("points").toInt(), points);
        QVERIFY(probe.accountLabel()->text().endsWith(QString(" %1").arg(points)));
        QVERIFY(probe.sendButton()->isEnabled());
        // The list is fetched again so that the conversation shows there.
        QTRY_COMPARE(ws.requestsTo("GET", "/api/conversations"), listFetches + 1);
    }

    // Fragments are appended as plain text under one header; the final redraw replaces them.
    void streamedFragments()
    {
        Workspace ws;
        QVERIFY(ws.open());
        ws.probe().cloudId() = "c1";
        ws.streams << streamOf(
            {delta("") + delta("**Hel"), delta("lo**"), sse("done", {{"content", "**Hello**"}})},
            400);
        ws.send("问");
        ChatWindowProbe probe = ws.probe();
        QTextDocument* document = probe.transcript()->document();
        QVERIFY(QTest::qWaitFor([&] { return document->toPlainText().endsWith("**Hello**"); }));
        QCOMPARE(probe.chatNotice()->text(), QString("正在生成回复…"));
        QCOMPARE(document->toPlainText().count(QStringLiteral("✳  KestruneAI")), 1);
        QVERIFY(document->toPlainText().endsWith(QStringLiteral("✳  KestruneAI\n**Hello**")));

        const QTextBlock last = document->lastBlock();
        QCOMPARE(last.text(), QString("**Hello**"));
        for (const QTextLayout::FormatRange& range : last.textFormats()) {
            QCOMPARE(range.format.foreground().color(), QColor("#203c50"));
            QCOMPARE(range.format.properties().keys(), QList<int>{QTextFormat::ForegroundBrush});
        }
        const QTextBlock header = last.previous();
        QCOMPARE(header.text(), QString("✳  KestruneAI"));
        for (const QTextLayout::FormatRange& range : header.textFormats()) {
            QCOMPARE(range.format.foreground().color(), QColor("#2c7d87"));
            QCOMPARE(range.format.fontWeight(), 600);
            QCOMPARE(range.format.properties().keys(),
                     (QList<int>{QTextFormat::ForegroundBrush, QTextFormat::FontWeight}));
        }
        // The view follows the end of the reply.
        QCOMPARE(probe.transcript()->textCursor().position(), document->characterCount() - 1);

        probe.chatInput()->setPlainText("下一个问题的草稿");
        QVERIFY(ws.waitIdle());
        QCOMPARE(probe.chatInput()->toPlainText(), QString("下一个问题的草稿"));
        // Needs the transcript redraw: the reply is now rendered Markdown, not raw text.
        QVERIFY(!document->toPlainText().contains("**"));
        QVERIFY(document->toPlainText().contains("Hello"));
    }

    // An empty fragment draws nothing, not even the reply header.
    void emptyFragmentsInsertNothing()
    {
        Workspace ws;
        QVERIFY(ws.open());
        ws.api->transferTimeoutMs = 400;
        ws.probe().cloudId() = "c1";
        ws.streams << streamOf({delta(""), delta("")}, 15, ScriptedReply::Ending::HoldOpen);
        QTextDocument* document = ws.probe().transcript()->document();
        QStringList shown;
        connect(document, &QTextDocument::contentsChanged, this,
                [&] { shown << document->toPlainText(); });
        ws.send("问");
        QVERIFY(ws.waitIdle());
        for (const QString& text : shown)
            QVERIFY2(!text.contains("KestruneAI"), qPrintable(text));
        QCOMPARE(ws.probe().chatInput()->toPlainText(), QString("问"));
        QVERIFY(ws.probe().chatNotice()->text() != connecting);
        QVERIFY(!ws.probe().chatNotice()->text().isEmpty()); // the time-out text
    }

    // A failed turn gives the prompt back, and what was typed meanwhile stays after it.
    void failureRestoresThePrompt()
    {
        Workspace ws;
        QVERIFY(ws.open());
        ws.probe().cloudId() = "c1";
        ws.streams << streamOf({delta("半句"), "event: delta\ndata: {\"text\":\"x\"}"}, 300);
        ws.send("  原来的问题 ");
        ChatWindowProbe probe = ws.probe();
        QTextDocument* document = probe.transcript()->document();
        QVERIFY(QTest::qWaitFor([&] { return document->toPlainText().endsWith("半句"); }));
        probe.chatInput()->setPlainText("草稿");
        QVERIFY(ws.waitIdle());
        QCOMPARE(probe.chatInput()->toPlainText(), QString("原来的问题\n草稿"));
        QCOMPARE(probe.chatNotice()->text(), QString("回复连接中断，请重试"));
        QVERIFY(probe.messages().isEmpty());
        QVERIFY(!document->toPlainText().contains("半句"));
        QCOMPARE(probe.cloudId(), QString("c1"));
    }

    // A service that talks on after its final event adds no second reply.
    void eventsAfterTheFinalEventAreDropped()
    {
        Workspace ws;
        QVERIFY(ws.open());
        ws.probe().cloudId() = "c1";
        ws.streams << streamOf({sse("done", {{"content", "A"}, {"charged", 2}}),
                                sse("done", {{"content", "B"}, {"charged", 9}}) + delta("late"),
                                sse("error", {{"error", "boom"}})},
                               50);
        ws.send("问");
        QVERIFY(ws.waitIdle());
        QTest::qWait(50);
        ChatWindowProbe probe = ws.probe();
        QCOMPARE(probe.messages().size(), 2);
        QCOMPARE(probe.messages().last().toObject().value("content").toString(), QString("A"));
        QCOMPARE(probe.chatNotice()->text(), QString("本次使用 2 对话额度"));
        QVERIFY(probe.chatInput()->toPlainText().isEmpty());
        QVERIFY(!probe.transcript()->document()->toPlainText().contains("late"));
    }

    void privateReplyIsSaved()
    {
        Workspace ws;
        QVERIFY(ws.open());
        ChatWindowProbe probe = ws.probe();
        // Needs the private-thread operations: a new thread, opened and saved.
        probe.createPrivateThread();
        QVERIFY(probe.isPrivate());
        const QString id = probe.privateId();
        QVERIFY(!id.isEmpty());
        const int listFetches = ws.requestsTo("GET", "/api/conversations");
        ws.streams << streamOf(
            {delta("私"), sse("done", {{"content", "私密答复"}, {"points", 80}, {"charged", 4}})});
        ws.send("私密问题");
        QVERIFY(ws.waitIdle());
        QCOMPARE(probe.chatNotice()->text(), QString("本次使用 4 对话额度"));
        QCOMPARE(probe.messages().size(), 2);
        QCOMPARE(probe.privateHistory(), probe.messages());
        const QJsonObject thread = probe.threads().at(findThread(probe.threads(), id)).toObject();
        QCOMPARE(thread.value("messages").toArray(), probe.messages());
        const QJsonObject stored = parse(readSealedFile(probe.privateStoreFileName()));
        QVERIFY(QJsonDocument(stored).toJson().contains("私密答复"));
        QTest::qWait(50);
        QCOMPARE(ws.requestsTo("GET", "/api/conversations"), listFetches);
    }

    void privateSaveFailureIsReported()
    {
        Workspace ws;
        QVERIFY(ws.open());
        ChatWindowProbe probe = ws.probe();
        probe.isPrivate() = true;
        probe.privateId() = "no-such-thread";
        ws.streams << streamOf({sse("done", {{"content", "答"}, {"charged", 1}})});
        ws.send("问");
        QVERIFY(ws.waitIdle());
        QCOMPARE(probe.chatNotice()->text(), QString("回复完成，但本机隐私对话保存失败。"));
        QCOMPARE(probe.messages().size(), 2);
        QCOMPARE(probe.privateHistory(), probe.messages());
    }

    void closingTheWindowMidStreamIsHarmless()
    {
        Workspace ws;
        QVERIFY(ws.open());
        ws.probe().cloudId() = "c1";
        ws.streams << streamOf({delta("一"), delta("二"), sse("done", {{"content", "一二"}})}, 150);
        ws.send("问");
        ChatWindowProbe probe = ws.probe();
        QVERIFY(QTest::qWaitFor(
            [&] { return probe.transcript()->document()->toPlainText().endsWith("一"); }));
        delete ws.window.data();
        QVERIFY(QTest::qWaitFor(
            [&] { return ws.api->network.findChildren<QNetworkReply*>().isEmpty(); }));
    }

    void closingTheWindowDuringCreationIsHarmless()
    {
        Workspace ws;
        QVERIFY(ws.open());
        ws.server.holdReplies(true);
        ws.send("问");
        QTRY_COMPARE(ws.requestsTo("POST", "/api/conversations"), 1);
        delete ws.window.data();
        ws.server.release();
        QVERIFY(QTest::qWaitFor(
            [&] { return ws.api->network.findChildren<QNetworkReply*>().isEmpty(); }));
        QTest::qWait(50);
        QCOMPARE(ws.requestsTo("POST", "/api/chat/stream"), 0);
    }
};

KESTRUNE_TEST_MAIN(TstSending)
#include "tst_sending.moc"
