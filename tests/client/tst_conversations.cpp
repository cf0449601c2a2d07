#include "api/api.h"
#include "chat/chatwindow.h"
#include "probes.h"
#include "scriptedserver.h"
#include "testenvironment.h"
#include "workspacetesting.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMessageBox>
#include <QNetworkReply>
#include <QtTest>

#include <memory>

namespace
{

const QString newTitle = QStringLiteral("新对话");
const QString cloudBadge = QStringLiteral("云端保存");
const QString notOffered = QStringLiteral("此对话的模型当前未开放，可查看历史内容。");

QByteArray conversationReply(const QString& title, const QString& model, const QString& text)
{
    const QJsonObject reply{
        {"conversation", QJsonObject{{"title", title}, {"model", model}}},
        {"messages", QJsonArray{QJsonObject{{"role", "user"}, {"content", text}},
                                QJsonObject{{"role", "assistant"}, {"content", "答：" + text}}}}};
    return QJsonDocument(reply).toJson(QJsonDocument::Compact);
}

// A reply whose last bytes come `delayMs` after the first ones.
ScriptedReply delayed(const ScriptedReply& reply, int delayMs)
{
    ScriptedReply late = reply;
    late.splitAt = {int(reply.bytes.size()) - 1};
    late.pauseMs = delayMs;
    return late;
}

} // namespace

class Tst_conversations : public QObject
{
    Q_OBJECT

    ScriptedServer server;
    std::unique_ptr<Api> api;
    QByteArray listJson;
    // Replies for requests other than the model and conversation lists, in order.
    QList<ScriptedReply> script;

    std::unique_ptr<ChatWindow> makeWindow(const QString& userId = QStringLiteral("u"))
    {
        const int before = server.requestCount();
        auto window = std::make_unique<ChatWindow>(
            api.get(), QJsonObject{{"id", userId}, {"username", "tester"}}, [] {});
        ChatWindowProbe probe(window.get());
        if (!server.waitForRequests(before + 2) ||
            !QTest::qWaitFor([&] { return probe.modelSelect()->count() == 2; }) ||
            !QTest::qWaitFor([&] { return probe.conversationList()->count() > 0; }))
            return nullptr;
        return window;
    }

    // True once no reply of the client is left: every completion has run.
    bool repliesDone()
    {
        return QTest::qWaitFor(
            [this] { return api->network.findChildren<QNetworkReply*>().isEmpty(); }, 10000);
    }

    // Waits until the server has seen `count` requests in all and every reply was handled.
    bool settle(int count) { return server.waitForRequests(count, 10000) && repliesDone(); }

    QList<QByteArray> requestLines(int from) const
    {
        QList<QByteArray> lines;
        for (int i = from; i < server.requestCount(); ++i)
            lines << server.requests().at(i).method + " " + server.requests().at(i).path;
        return lines;
    }

    void click(QListWidget* list, const QString& id)
    {
        const int row = int(itemIds(list).indexOf(id));
        QVERIFY(row >= 0);
        list->setCurrentRow(row);
        emit list->itemClicked(list->item(row));
    }

private slots:
    void initTestCase()
    {
        server.setHandler([this](const RecordedRequest& request) {
            if (request.path == "/api/models")
                return ScriptedReply::json(
                    200, R"({"models":[{"id":"m-one","display_name":"One","points_per_100":1},)"
                         R"({"id":"m-two","display_name":"Two","points_per_100":2}]})");
            if (request.path == "/api/conversations" && request.method == "GET")
                return ScriptedReply::json(200, listJson);
            if (!script.isEmpty())
                return script.takeFirst();
            return ScriptedReply::json(500, R"({"error":"unexpected request"})");
        });
        qputenv("KESTRUNEAI_BASE_URL", server.origin().toUtf8());
        api = std::make_unique<Api>();
    }

    void init()
    {
        listJson = R"({"conversations":[{"id":"c1","title":"第一"},{"id":"c2","title":"第二"},)"
                   R"({"id":"c3"}]})";
        script.clear();
        QDir dir(appDataDirectory());
        for (const QString& name : dir.entryList({"private-*"}, QDir::Files))
            QFile::remove(dir.filePath(name));
    }

    void listShowsTheServiceOrder()
    {
        auto window = makeWindow();
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        QCOMPARE(itemTexts(probe.conversationList()), (QStringList{"◦  第一", "◦  第二", "◦  "}));
        QCOMPARE(itemIds(probe.conversationList()), (QStringList{"c1", "c2", "c3"}));
        QCOMPARE(probe.conversationList()->currentItem(), nullptr);

        // Reloading with an open conversation marks it, without any change signal.
        probe.cloudId() = "c2";
        QSignalSpy rowChanges(probe.conversationList(), &QListWidget::currentRowChanged);
        const int before = server.requestCount();
        probe.loadConversations();
        QVERIFY(settle(before + 1));
        QCOMPARE(currentItemId(probe.conversationList()), QStringLiteral("c2"));
        QCOMPARE(rowChanges.count(), 0);

        // Nothing open: an element without an id is not taken for the open one.
        probe.cloudId().clear();
        listJson = R"({"conversations":[{"title":"无编号"}]})";
        probe.loadConversations();
        QVERIFY(settle(before + 2));
        QCOMPARE(itemTexts(probe.conversationList()), QStringList{"◦  无编号"});
        QCOMPARE(probe.conversationList()->currentItem(), nullptr);

        // A failed reload keeps what was listed and says why.
        listJson = "not json";
        server.enqueue(ScriptedReply::json(500, R"({"error":"列表暂时不可用"})"));
        probe.loadConversations();
        QVERIFY(settle(before + 3));
        QCOMPARE(itemTexts(probe.conversationList()), QStringList{"◦  无编号"});
        QCOMPARE(probe.chatNotice()->text(), QStringLiteral("列表暂时不可用"));
    }

    void openShowsTheConversation()
    {
        auto window = makeWindow();
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        probe.createPrivateThread();
        QVERIFY(probe.isPrivate());

        QSignalSpy modelChanges(probe.modelSelect(), &QComboBox::currentIndexChanged);
        script << ScriptedReply::json(200, conversationReply("第二", "m-two", "你好"));
        const int before = server.requestCount();
        click(probe.conversationList(), "c2");
        QVERIFY(settle(before + 1));
        QCOMPARE(requestLines(before), QList<QByteArray>{"GET /api/conversations/c2"});
        QCOMPARE(probe.cloudId(), QStringLiteral("c2"));
        QVERIFY(!probe.isPrivate());
        QCOMPARE(probe.privateId(), QString());
        QCOMPARE(probe.privateHistory(), QJsonArray());
        QCOMPARE(probe.messages().size(), 2);
        QCOMPARE(probe.messages().at(0).toObject().value("content").toString(), "你好");
        QCOMPARE(probe.chatTitle()->text(), QStringLiteral("第二"));
        QCOMPARE(probe.modeBadge()->text(), cloudBadge);
        QCOMPARE(probe.modeBadge()->property("private").toBool(), false);
        QCOMPARE(probe.modelSelect()->currentData().toString(), "m-two");
        QCOMPARE(modelChanges.count(), 0);
        QCOMPARE(probe.chatNotice()->text(), QString());
        QVERIFY(probe.privateList()->selectedItems().isEmpty());
        QVERIFY(probe.renameButton()->isEnabled());
        QVERIFY(probe.deleteButton()->isEnabled());
        QVERIFY(!probe.modelSelect()->isEnabled());

        // A model the service no longer offers: history still opens, selection stays.
        script << ScriptedReply::json(200, conversationReply("第一", "retired", "旧"));
        click(probe.conversationList(), "c1");
        QVERIFY(settle(before + 2));
        QCOMPARE(probe.cloudId(), QStringLiteral("c1"));
        QCOMPARE(probe.modelSelect()->currentData().toString(), "m-two");
        QCOMPARE(probe.chatNotice()->text(), notOffered);

        // A refused open changes nothing but the notice.
        script << ScriptedReply::json(404, R"({"error":"对话不存在或已删除。"})");
        click(probe.conversationList(), "c3");
        QVERIFY(settle(before + 3));
        QCOMPARE(probe.cloudId(), QStringLiteral("c1"));
        QCOMPARE(probe.chatTitle()->text(), QStringLiteral("第一"));
        QCOMPARE(probe.chatNotice()->text(), QStringLiteral("对话不存在或已删除。"));

        // Busy: no request at all.
        probe.setBusy(true);
        probe.openConversation(probe.conversationList()->item(1));
        probe.openConversation(nullptr);
        QTest::qWait(30);
        QCOMPARE(server.requestCount(), before + 3);
    }

    void lastReplyWins_data()
    {
        QTest::addColumn<bool>("firstIsSlow");
        QTest::newRow("first answered last") << true;
        QTest::newRow("second answered last") << false;
    }

    void lastReplyWins()
    {
        QFETCH(bool, firstIsSlow);
        auto window = makeWindow();
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        const auto one = ScriptedReply::json(200, conversationReply("第一", "m-one", "一"));
        const auto two = ScriptedReply::json(200, conversationReply("第二", "m-two", "二"));
        script << (firstIsSlow ? delayed(one, 300) : one)
               << (firstIsSlow ? two : delayed(two, 300));
        const int before = server.requestCount();
        click(probe.conversationList(), "c1");
        QVERIFY(server.waitForRequests(before + 1));
        click(probe.conversationList(), "c2");
        QVERIFY(settle(before + 2));
        const QString winner = firstIsSlow ? "c1" : "c2";
        QCOMPARE(probe.cloudId(), winner);
        QCOMPARE(probe.chatTitle()->text(),
                 firstIsSlow ? QStringLiteral("第一") : QStringLiteral("第二"));
        QCOMPARE(probe.modelSelect()->currentData().toString(), firstIsSlow ? "m-one" : "m-two");
    }

    void openReplyDuringASendIsDropped()
    {
        auto window = makeWindow();
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        server.holdReplies(true);
        const int before = server.requestCount();
        script << ScriptedReply::json(200, conversationReply("第一", "m-one", "一"));
        click(probe.conversationList(), "c1");
        QVERIFY(server.waitForRequests(before + 1));
        // A prompt went out in the new conversation meanwhile.
        probe.messages() = QJsonArray{QJsonObject{{"role", "user"}, {"content", "进行中"}}};
        probe.setBusy(true);
        server.release();
        QVERIFY(repliesDone());
        QCOMPARE(probe.cloudId(), QString());
        QCOMPARE(probe.chatTitle()->text(), newTitle);
        QCOMPARE(probe.messages().size(), 1);
        QVERIFY(probe.busy());
    }

    void serviceNameReachesTheHeader()
    {
        // A new conversation gets its id with its first prompt and its name from the service:
        // the list reload after the reply brings that name to the header, which the rename
        // dialog and the delete question read.
        auto window = makeWindow();
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        QCOMPARE(probe.chatTitle()->text(), QStringLiteral("新对话"));
        probe.cloudId() = QStringLiteral("c2");
        const int before = server.requestCount();
        probe.loadConversations();
        QVERIFY(settle(before + 1));
        QCOMPARE(currentItemId(probe.conversationList()), QStringLiteral("c2"));
        QCOMPARE(probe.chatTitle()->text(), QStringLiteral("第二"));
        SeenInputDialog seen;
        answerNextTextInput(QString(), false, &seen);
        probe.renameCurrent();
        QCOMPARE(seen.initialText, QStringLiteral("第二"));

        // A reload while a private thread is open leaves its header alone.
        probe.createPrivateThread();
        const QString threadTitle = probe.chatTitle()->text();
        probe.loadConversations();
        QVERIFY(settle(before + 2));
        QCOMPARE(probe.chatTitle()->text(), threadTitle);
    }

    void renameCloud_data()
    {
        QTest::addColumn<bool>("accept");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QByteArray>("sentBody"); // empty: nothing may be sent
        QTest::newRow("cancelled") << false << "新名字" << QByteArray();
        QTest::newRow("empty") << true << "" << QByteArray();
        QTest::newRow("white space only") << true << " \t\u3000 " << QByteArray();
        QTest::newRow("trimmed") << true << "  新名字 " << QByteArray(R"({"title":"新名字"})");
    }

    void renameCloud()
    {
        QFETCH(bool, accept);
        QFETCH(QString, typed);
        QFETCH(QByteArray, sentBody);
        auto window = makeWindow();
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        script << ScriptedReply::json(200, conversationReply("第一", "m-one", "一"));
        int before = server.requestCount();
        click(probe.conversationList(), "c1");
        QVERIFY(settle(before + 1));

        before = server.requestCount();
        script << ScriptedReply::json(200, R"({"title":"服务端的名字"})");
        if (!sentBody.isEmpty()) // the service lists the name it gave
            listJson.replace("第一", "服务端的名字");
        SeenInputDialog seen;
        answerNextTextInput(typed, accept, &seen);
        probe.renameButton()->click();
        QCOMPARE(seen.title, QStringLiteral("重命名对话"));
        QCOMPARE(seen.label, QStringLiteral("对话名称"));
        QCOMPARE(seen.initialText, QStringLiteral("第一"));
        QVERIFY(seen.normalEcho);
        if (sentBody.isEmpty()) {
            QTest::qWait(60);
            QCOMPARE(server.requestCount(), before);
            QCOMPARE(probe.chatTitle()->text(), QStringLiteral("第一"));
            return;
        }
        QVERIFY(settle(before + 2));
        QCOMPARE(requestLines(before),
                 (QList<QByteArray>{"PATCH /api/conversations/c1", "GET /api/conversations"}));
        QCOMPARE(server.requests().at(before).body, sentBody);
        QCOMPARE(probe.chatTitle()->text(), QStringLiteral("服务端的名字"));
    }

    void renameCloudFailureAndSwitch()
    {
        auto window = makeWindow();
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        script << ScriptedReply::json(200, conversationReply("第一", "m-one", "一"));
        int before = server.requestCount();
        click(probe.conversationList(), "c1");
        QVERIFY(settle(before + 1));

        before = server.requestCount();
        script << ScriptedReply::json(400, R"({"error":"标题不能为空。"})");
        answerNextTextInput("别名", true);
        probe.renameCurrent();
        QVERIFY(settle(before + 1));
        QCOMPARE(probe.chatTitle()->text(), QStringLiteral("第一"));
        QCOMPARE(probe.chatNotice()->text(), QStringLiteral("标题不能为空。"));

        // The answer arrives after another conversation was opened: its header stays.
        server.holdReplies(true);
        script << ScriptedReply::json(200, R"({"title":"别名"})");
        answerNextTextInput("别名", true);
        probe.renameCurrent();
        QVERIFY(server.waitForRequests(before + 2));
        server.holdReplies(false);
        script.prepend(ScriptedReply::json(200, conversationReply("第二", "m-two", "二")));
        click(probe.conversationList(), "c2");
        QTRY_COMPARE(probe.cloudId(), QStringLiteral("c2"));
        server.release();
        QVERIFY(settle(before + 4)); // the reload after the rename
        QCOMPARE(probe.cloudId(), QStringLiteral("c2"));
        QCOMPARE(probe.chatTitle()->text(), QStringLiteral("第二"));
    }

    void renamePrivate()
    {
        auto window = makeWindow("rp");
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        probe.createPrivateThread();
        const QString older = probe.privateId();
        probe.createPrivateThread();
        const QString newer = probe.privateId();
        QJsonObject record = probe.threads().at(0).toObject();
        record.insert("updated_at", 5);
        probe.threads().replace(0, record);
        probe.openPrivateThread(older);

        const int before = server.requestCount();
        SeenInputDialog seen;
        answerNextTextInput("  读书笔记  ", true, &seen);
        probe.renameButton()->click();
        QCOMPARE(seen.initialText, QStringLiteral("隐私对话"));
        QCOMPARE(probe.chatTitle()->text(), QStringLiteral("读书笔记"));
        record.insert("title", "读书笔记");
        QCOMPARE(probe.threads().at(0).toObject(), record);
        QCOMPARE(itemIds(probe.privateList()), (QStringList{newer, older}));
        QCOMPARE(itemTexts(probe.privateList()).last(), QStringLiteral("◇  读书笔记"));
        QCOMPARE(sealedDocument("private-rp.bin")["threads"][0].toObject(), record);

        answerNextTextInput("   ", true);
        probe.renameCurrent();
        answerNextTextInput("不会用到", false);
        probe.renameCurrent();
        QCOMPARE(probe.threads().at(0).toObject(), record);
        QTest::qWait(30);
        QCOMPARE(server.requestCount(), before);

        // A name typed back to the default lets the next update title it again.
        answerNextTextInput("隐私对话", true);
        probe.renameCurrent();
        probe.messages() = QJsonArray{QJsonObject{{"role", "user"}, {"content", "新 的\n开头"}}};
        QVERIFY(probe.updatePrivateThread());
        QCOMPARE(probe.chatTitle()->text(), QStringLiteral("新 的 开头"));
    }

    void deleteQuestionAndNo()
    {
        auto window = makeWindow("dq");
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        script << ScriptedReply::json(200, conversationReply("第一", "m-one", "一"));
        const int before = server.requestCount();
        click(probe.conversationList(), "c1");
        QVERIFY(settle(before + 1));

        SeenMessageBox seen;
        answerNextQuestion(false, &seen);
        probe.deleteButton()->click();
        QCOMPARE(seen.title, QStringLiteral("删除对话"));
        QCOMPARE(seen.text, QStringLiteral("从客户端列表移除“第一”？服务端仍保留记录。"));
        QCOMPARE(seen.buttons, int(QMessageBox::Yes | QMessageBox::No));
        QTest::qWait(30);
        QCOMPARE(server.requestCount(), before + 1);
        QCOMPARE(probe.cloudId(), QStringLiteral("c1"));

        probe.createPrivateThread();
        answerNextQuestion(false, &seen);
        probe.deleteCurrent();
        QCOMPARE(seen.text, QStringLiteral("从本机删除隐私对话“隐私对话”？"));
        QCOMPARE(probe.threads().size(), 1);
        QVERIFY(probe.isPrivate());
    }

    void deleteCloud()
    {
        auto window = makeWindow();
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        script << ScriptedReply::json(200, conversationReply("第二", "m-two", "二"));
        int before = server.requestCount();
        click(probe.conversationList(), "c2");
        QVERIFY(settle(before + 1));

        // Refused: still open and listed.
        before = server.requestCount();
        script << ScriptedReply::json(404, R"({"error":"对话不存在或已删除。"})");
        answerNextQuestion(true);
        probe.deleteCurrent();
        QVERIFY(settle(before + 1));
        QCOMPARE(requestLines(before), QList<QByteArray>{"DELETE /api/conversations/c2"});
        QCOMPARE(probe.cloudId(), QStringLiteral("c2"));
        QCOMPARE(probe.chatNotice()->text(), QStringLiteral("对话不存在或已删除。"));
        QVERIFY(itemIds(probe.conversationList()).contains("c2"));

        before = server.requestCount();
        script << ScriptedReply::json(200, R"({"deleted":true})");
        listJson = R"({"conversations":[{"id":"c1","title":"第一"}]})";
        answerNextQuestion(true);
        probe.deleteCurrent();
        QVERIFY(settle(before + 2));
        QCOMPARE(requestLines(before),
                 (QList<QByteArray>{"DELETE /api/conversations/c2", "GET /api/conversations"}));
        QCOMPARE(probe.cloudId(), QString());
        QCOMPARE(probe.chatTitle()->text(), newTitle);
        QCOMPARE(itemIds(probe.conversationList()), QStringList{"c1"});
    }

    void deleteAppliesToTheConversationAsked()
    {
        auto window = makeWindow();
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        script << ScriptedReply::json(200, conversationReply("第一", "m-one", "一"));
        int before = server.requestCount();
        click(probe.conversationList(), "c1");
        QVERIFY(settle(before + 1));

        // While the question is open, a slow open of c2 lands.
        before = server.requestCount();
        server.holdReplies(true);
        script << ScriptedReply::json(200, conversationReply("第二", "m-two", "二"))
               << ScriptedReply::json(200, R"({"deleted":true})");
        click(probe.conversationList(), "c2");
        QVERIFY(server.waitForRequests(before + 1));
        answerNextModal([this, &probe](QWidget* dialog) {
            server.release();
            [[maybe_unused]] const bool opened =
                QTest::qWaitFor([&] { return probe.cloudId() == "c2"; });
            qobject_cast<QMessageBox*>(dialog)->button(QMessageBox::Yes)->click();
        });
        probe.deleteCurrent();
        QVERIFY(settle(before + 3));
        QCOMPARE(requestLines(before),
                 (QList<QByteArray>{"GET /api/conversations/c2", "DELETE /api/conversations/c1",
                                    "GET /api/conversations"}));
        QCOMPARE(probe.cloudId(), QStringLiteral("c2"));
        QCOMPARE(probe.chatTitle()->text(), QStringLiteral("第二"));
    }

    void deletePrivate()
    {
        auto window = makeWindow("dp");
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        probe.createPrivateThread();
        const QString first = probe.privateId();
        probe.createPrivateThread(); // the open one, deleted next

        answerNextQuestion(true);
        probe.deleteButton()->click();
        QVERIFY(!probe.isPrivate());
        QCOMPARE(probe.chatTitle()->text(), newTitle);
        QCOMPARE(itemIds(probe.privateList()), QStringList{first});
        QCOMPARE(sealedDocument("private-dp.bin")["threads"].toArray(), probe.threads());

        // A record that vanished meanwhile: nothing removed, still back to a new conversation.
        probe.openPrivateThread(first);
        probe.threads() = QJsonArray();
        answerNextQuestion(true);
        probe.deleteCurrent();
        QVERIFY(!probe.isPrivate());
        QCOMPARE(probe.chatTitle()->text(), newTitle);
        QCOMPARE(sealedDocument("private-dp.bin")["threads"].toArray().size(), 1);
    }

    void lateCompletionsAfterTheWindowIsGone()
    {
        auto window = makeWindow();
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        script << ScriptedReply::json(200, conversationReply("第一", "m-one", "一"));
        const int before = server.requestCount();
        click(probe.conversationList(), "c1");
        QVERIFY(settle(before + 1));

        server.holdReplies(true);
        script << ScriptedReply::json(200, R"({"title":"晚到"})")
               << ScriptedReply::json(200, R"({"deleted":true})")
               << ScriptedReply::json(200, conversationReply("第二", "m-two", "二"));
        answerNextTextInput("晚到", true);
        probe.renameCurrent();
        answerNextQuestion(true);
        probe.deleteCurrent();
        click(probe.conversationList(), "c2");
        probe.loadConversations();
        QVERIFY(server.waitForRequests(before + 5));
        window.reset();
        server.release();
        QVERIFY(repliesDone());
        QCOMPARE(server.requestCount(), before + 5); // no reload from a gone window
    }
};

KESTRUNE_TEST_MAIN(Tst_conversations)
#include "tst_conversations.moc"
