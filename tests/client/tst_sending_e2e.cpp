#include "api/api.h"
#include "chat/chatwindow.h"
#include "probes.h"
#include "serverprocess.h"
#include "testenvironment.h"
#include "workspacetesting.h"

#include <QApplication>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTextDocument>
#include <QtTest>

#include <memory>

namespace
{

// The demo user signed in against a real service, with a workspace open on the echo model.
struct Session {
    ServerProcess server;
    std::unique_ptr<Api> api;
    QPointer<ChatWindow> window;

    explicit Session(const QStringList& arguments) : server(QStringList{"--demo"} + arguments) {}

    ~Session()
    {
        delete window.data();
        qunsetenv("KESTRUNEAI_BASE_URL");
    }

    ChatWindowProbe probe() const { return ChatWindowProbe(window); }

    bool signIn()
    {
        if (!server.started())
            return false;
        qputenv("KESTRUNEAI_BASE_URL", server.origin().toUtf8());
        api = std::make_unique<Api>();
        QJsonObject user;
        bool done = false;
        api->request("POST", "/api/auth/login",
                     {{"login", "demo"}, {"password", "demo-password-2026"}},
                     [&](bool ok, const QJsonObject& body, const QString&) {
                         done = true;
                         if (!ok)
                             return;
                         api->token = body.value("token").toString();
                         user = body.value("user").toObject();
                     });
        if (!QTest::qWaitFor([&] { return done; }, 10000) || user.isEmpty())
            return false;
        window = new ChatWindow(api.get(), user, [] {});
        QComboBox* models = probe().modelSelect();
        if (!QTest::qWaitFor([&] { return models->findData("kestrune-echo") >= 0; }, 10000))
            return false;
        models->setCurrentIndex(models->findData("kestrune-echo"));
        return settled();
    }

    // No request or stream of this client is still under way.
    bool settled(int timeoutMs = 20000)
    {
        return QTest::qWaitFor(
            [this] {
                return window && !probe().busy() &&
                       api->network.findChildren<QNetworkReply*>().isEmpty();
            },
            timeoutMs);
    }

    void send(const QString& prompt)
    {
        probe().chatInput()->setPlainText(prompt);
        probe().submit();
    }

    QString transcriptText() const { return probe().transcript()->document()->toPlainText(); }

    // The service's own view of the account's cloud conversations.
    bool cloudConversations(QJsonArray& conversations)
    {
        bool ok = false;
        bool done = false;
        api->request("GET", "/api/conversations", {},
                     [&](bool success, const QJsonObject& body, const QString&) {
                         conversations = body.value("conversations").toArray();
                         ok = success;
                         done = true;
                     });
        return QTest::qWaitFor([&] { return done; }, 10000) && ok;
    }
};

int chargedIn(const QString& notice, bool truncated)
{
    static const QRegularExpression plain(QStringLiteral("^本次使用 (\\d+) 对话额度$"));
    static const QRegularExpression cut(QStringLiteral("^本次使用 (\\d+) 对话额度 · 回复已截断$"));
    const QRegularExpressionMatch match = (truncated ? cut : plain).match(notice);
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

} // namespace

class TstSendingE2e : public QObject
{
    Q_OBJECT

private slots:
    void firstCloudPromptStreamsAndCompletes()
    {
        Session session({"--stream-delay-ms", "40"});
        QVERIFY2(session.signIn(), qPrintable(session.server.output()));
        ChatWindowProbe probe = session.probe();
        const int pointsBefore = probe.user().value("points").toInt();
        QVERIFY(pointsBefore > 0);

        const QString prompt = QStringLiteral("请把这句话原样说一遍：流式回复逐字出现。");
        session.send(prompt);
        // Fragments show while the reply is still being generated.
        QVERIFY(QTest::qWaitFor(
            [&] { return probe.busy() && session.transcriptText().contains("✳  KestruneAI"); },
            10000));
        QCOMPARE(probe.chatNotice()->text(), QString("正在生成回复…"));

        QVERIFY(session.settled());
        const int charged = chargedIn(probe.chatNotice()->text(), false);
        QVERIFY2(charged > 0, qPrintable(probe.chatNotice()->text()));
        QCOMPARE(probe.user().value("points").toInt(), pointsBefore - charged);
        QVERIFY(probe.accountLabel()->text().endsWith(QString(" %1").arg(pointsBefore - charged)));

        QVERIFY(!probe.cloudId().isEmpty());
        QCOMPARE(probe.messages().size(), 2);
        QVERIFY(probe.messages().at(1).toObject().value("content").toString().endsWith(prompt));
        QVERIFY(session.transcriptText().contains(prompt));
        // The reply is drawn rendered: the echo model's emphasis markers are gone.
        QVERIFY(!session.transcriptText().contains("*思考"));

        // The new conversation shows up in the list once its first reply has completed.
        QListWidget* list = probe.conversationList();
        QVERIFY(QTest::qWaitFor(
            [&] {
                for (int i = 0; i < list->count(); ++i)
                    if (list->item(i)->data(Qt::UserRole).toString() == probe.cloudId())
                        return true;
                return false;
            },
            10000));
        // The service has named it: the header, and so the rename dialog and the delete
        // question, use that name, not "新对话".
        const QString listed = list->currentItem()->text().mid(3);
        QVERIFY(!listed.isEmpty());
        QVERIFY(listed != QStringLiteral("新对话"));
        QTRY_COMPARE(probe.chatTitle()->text(), listed);
        SeenMessageBox question;
        answerNextQuestion(false, &question);
        probe.deleteCurrent();
        QCOMPARE(question.text,
                 QStringLiteral("从客户端列表移除“%1”？服务端仍保留记录。").arg(listed));
    }

    void privateThreadSendsItsHistoryAndStaysOffTheService()
    {
        Session session({"--stream-delay-ms", "0"});
        QVERIFY2(session.signIn(), qPrintable(session.server.output()));
        ChatWindowProbe probe = session.probe();
        probe.createPrivateThread();
        QVERIFY(probe.isPrivate());

        session.send("第一个隐私问题");
        QVERIFY(session.settled());
        QVERIFY2(chargedIn(probe.chatNotice()->text(), false) > 0,
                 qPrintable(probe.chatNotice()->text()));
        QVERIFY(probe.messages().at(1).toObject().value("content").toString().contains(
            "收到 0 条历史记录"));

        session.send("第二个隐私问题");
        QVERIFY(session.settled());
        QVERIFY2(chargedIn(probe.chatNotice()->text(), false) > 0,
                 qPrintable(probe.chatNotice()->text()));
        QCOMPARE(probe.messages().size(), 4);
        QVERIFY(probe.messages().at(3).toObject().value("content").toString().contains(
            "收到 2 条历史记录"));
        QCOMPARE(probe.privateHistory(), probe.messages());

        QJsonArray stored{"not fetched"};
        QVERIFY(session.cloudConversations(stored));
        QVERIFY(stored.isEmpty());
        QCOMPARE(probe.conversationList()->count(), 0);
    }

    void runningOutOfPointsTruncates()
    {
        // 1 point buys 50 characters of the echo model (2 points per 100).
        Session session({"--initial-points", "1", "--stream-delay-ms", "0"});
        QVERIFY2(session.signIn(), qPrintable(session.server.output()));
        ChatWindowProbe probe = session.probe();
        QCOMPARE(probe.user().value("points").toInt(), 1);

        session.send(QString("很长的提示。").repeated(30));
        QVERIFY(session.settled());
        const int charged = chargedIn(probe.chatNotice()->text(), true);
        QVERIFY2(charged > 0, qPrintable(probe.chatNotice()->text()));
        QCOMPARE(probe.user().value("points").toInt(), 1 - charged);
        QCOMPARE(probe.messages().size(), 2);
        QVERIFY(probe.messages().at(1).toObject().value("content").toString().size() <= 50);
    }

    void serverGoneMidStreamRollsBack()
    {
        Session session({"--stream-delay-ms", "300"});
        QVERIFY2(session.signIn(), qPrintable(session.server.output()));
        ChatWindowProbe probe = session.probe();

        session.send("  服务中途消失  ");
        QVERIFY(QTest::qWaitFor([&] { return session.transcriptText().contains("✳  KestruneAI"); },
                                10000));
        const QString createdId = probe.cloudId();
        QVERIFY(!createdId.isEmpty());
        session.server.kill();

        QVERIFY(session.settled());
        QCOMPARE(probe.chatInput()->toPlainText(), QString("服务中途消失"));
        QVERIFY(probe.messages().isEmpty());
        QVERIFY(!session.transcriptText().contains("KestruneAI"));
        const QString notice = probe.chatNotice()->text();
        QVERIFY2(!notice.isEmpty() && !notice.startsWith("本次使用") && notice != "正在生成回复…",
                 qPrintable(notice));
        QCOMPARE(probe.cloudId(), createdId);
        QVERIFY(probe.sendButton()->isEnabled());
    }
};

KESTRUNE_TEST_MAIN(TstSendingE2e)
#include "tst_sending_e2e.moc"
