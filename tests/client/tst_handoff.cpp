#include "api/api.h"
#include "api/replyjudgement.h"
#include "api/session.h"
#include "app/handoff.h"
#include "chat/chatwindow.h"
#include "login/loginwindow.h"
#include "probes.h"
#include "scriptedserver.h"
#include "testenvironment.h"
#include "widgetfinder.h"

#include <QApplication>
#include <QDir>
#include <QPointer>
#include <QtTest>

#include <memory>

namespace
{

QList<ChatWindow*> workspaces()
{
    QList<ChatWindow*> found;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* window = dynamic_cast<ChatWindow*>(widget))
            found.append(window);
    return found;
}

void flushDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

QByteArray userJson(const QString& name)
{
    return QStringLiteral(R"({"id":"%1-id","username":"%1","points":5})").arg(name).toUtf8();
}

} // namespace

class TstHandoff : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScriptedServer> server;
    QByteArray meReply;
    int meStatus = 200;

    int countRequests(const QByteArray& path) const
    {
        int n = 0;
        for (const RecordedRequest& request : server->requests())
            n += request.path == path;
        return n;
    }

    void signIn(LoginWindow* login, const QString& name)
    {
        LoginWindowProbe probe(login);
        probe.loginEdit()->setText(name);
        probe.passwordEdit()->setText(QStringLiteral("a long password"));
        probe.primaryButton()->click();
    }

private slots:
    void init()
    {
        QDir(appDataDirectory()).removeRecursively();
        server = std::make_unique<ScriptedServer>();
        meStatus = 200;
        meReply = "{\"user\":" + userJson("alice") + "}";
        server->setHandler([this](const RecordedRequest& request) {
            if (request.path == "/api/me")
                return ScriptedReply::json(meStatus, meReply);
            if (request.path == "/api/auth/login") {
                const QString login = jsonObjectOf(request.body).value("login").toString();
                return ScriptedReply::json(200, "{\"token\":\"tok-" + login.toUtf8() +
                                                    "\",\"user\":" + userJson(login) + "}");
            }
            if (request.path == "/api/models")
                return ScriptedReply::json(200, R"({"models":[]})");
            if (request.path == "/api/conversations")
                return ScriptedReply::json(200, R"({"conversations":[]})");
            return ScriptedReply::json(200, "{}");
        });
        qputenv("KESTRUNEAI_BASE_URL", server->origin().toUtf8());
    }

    void cleanup()
    {
        for (ChatWindow* window : workspaces())
            delete window;
        server.reset();
    }

    void noSavedSessionSendsNothing()
    {
        Api api;
        WindowHandoff handoff(&api);
        handoff.start();
        QVERIFY(handoff.loginWindow()->isVisible());
        QTest::qWait(100);
        QCOMPARE(server->requestCount(), 0);
        QVERIFY(!handoff.currentWorkspace());
    }

    void validSessionOpensTheWorkspace()
    {
        QVERIFY(writeSealedFile(sessionFileName, "tok-alice"));
        Api api;
        WindowHandoff handoff(&api);
        handoff.start();
        QVERIFY(handoff.loginWindow()->isVisible()); // always shown first
        QTRY_VERIFY(handoff.currentWorkspace());
        QVERIFY(handoff.currentWorkspace()->isVisible());
        QVERIFY(!handoff.loginWindow()->isVisible());
        QVERIFY(handoff.currentWorkspace()->testAttribute(Qt::WA_DeleteOnClose));
        QCOMPARE(ChatWindowProbe(handoff.currentWorkspace()).user().value("username").toString(),
                 QStringLiteral("alice"));
        const RecordedRequest me = server->requests().at(0);
        QCOMPARE(me.method, QByteArray("GET"));
        QCOMPARE(me.header("authorization"), QByteArray("Bearer tok-alice"));
    }

    void sessionCheckWithoutUserStillOpens()
    {
        meReply = R"({"user":"not an object"})";
        QVERIFY(writeSealedFile(sessionFileName, "tok-alice"));
        Api api;
        WindowHandoff handoff(&api);
        handoff.start();
        QTRY_VERIFY(handoff.currentWorkspace());
        // An empty user record: only the balance the account panel writes into it.
        QCOMPARE(ChatWindowProbe(handoff.currentWorkspace()).user(), QJsonObject({{"points", 0}}));
    }

    void rejectedSessionStaysSignedOutQuietly()
    {
        meStatus = 401;
        meReply = R"({"error":"登录已过期。"})";
        QVERIFY(writeSealedFile(sessionFileName, "tok-stale"));
        const QByteArray sealed = [] {
            QFile file(appDataFilePath("session.bin"));
            file.open(QIODevice::ReadOnly);
            return file.readAll();
        }();
        Api api;
        WindowHandoff handoff(&api);
        handoff.start();
        QVERIFY(server->waitForRequests(1));
        QTest::qWait(100);
        QVERIFY(!handoff.currentWorkspace());
        QVERIFY(handoff.loginWindow()->isVisible());
        QCOMPARE(LoginWindowProbe(handoff.loginWindow()).statusLabel()->text(), QString());
        QCOMPARE(api.token, QStringLiteral("tok-stale"));
        QFile file(appDataFilePath("session.bin"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), sealed);
    }

    void signInThenSignOutWhileTheServiceIsDown()
    {
        Api api;
        WindowHandoff handoff(&api);
        handoff.start();
        signIn(handoff.loginWindow(), "bob");
        QTRY_VERIFY(handoff.currentWorkspace());
        QCOMPARE(api.token, QStringLiteral("tok-bob"));
        QCOMPARE(readSealedFile("session.bin"), QByteArray("tok-bob"));
        QPointer<ChatWindow> first = handoff.currentWorkspace();

        server.reset(); // the service goes away
        QVERIFY(byName<QPushButton>(first, "logoutButton"));
        byName<QPushButton>(first, "logoutButton")->click();
        // Local sign-out happens at once, without waiting for the service.
        QVERIFY(handoff.loginWindow()->isVisible());
        QVERIFY(api.token.isEmpty());
        QVERIFY(!QFile::exists(appDataFilePath("session.bin")));
        QVERIFY(!handoff.currentWorkspace());
        flushDeletes();
        QVERIFY(!first);
    }

    void signOutClosesTheWayBack()
    {
        Api api;
        WindowHandoff handoff(&api);
        handoff.start();
        LoginWindowProbe login(handoff.loginWindow());
        signIn(handoff.loginWindow(), "gina");
        QTRY_VERIFY(handoff.currentWorkspace());
        QCOMPARE(login.statusLabel()->text(), QStringLiteral("正在登录…"));

        byName<QPushButton>(handoff.currentWorkspace(), "logoutButton")->click();
        // Nobody at the machine signs back in with Return: the password is gone, and so is
        // the stale "signing in" line. The mode and the user name stay as they were left.
        QVERIFY(handoff.loginWindow()->isVisible());
        QCOMPARE(login.passwordEdit()->text(), QString());
        QCOMPARE(login.statusLabel()->text(), QString());
        QCOMPARE(login.loginEdit()->text(), QStringLiteral("gina"));
        QVERIFY(!login.registerMode());
        const int before = server->requestCount();
        QTest::keyClick(login.passwordEdit(), Qt::Key_Return);
        QTest::qWait(100);
        for (int i = before; i < server->requestCount(); ++i)
            QVERIFY(server->requests().at(i).path != "/api/auth/login" ||
                    jsonObjectOf(server->requests().at(i).body).value("password").toString() ==
                        QString());
    }

    void sessionThatCannotBeRemovedIsReported()
    {
        Api api;
        WindowHandoff handoff(&api);
        handoff.start();
        signIn(handoff.loginWindow(), "hank");
        QTRY_VERIFY(handoff.currentWorkspace());
        // A folder standing where the file is can be neither removed nor emptied, as with a
        // session file in a folder that refuses both.
        QVERIFY(QFile::remove(appDataFilePath("session.bin")));
        QVERIFY(QDir().mkpath(appDataFilePath("session.bin") + "/held"));
        byName<QPushButton>(handoff.currentWorkspace(), "logoutButton")->click();
        QVERIFY(handoff.loginWindow()->isVisible());
        QCOMPARE(LoginWindowProbe(handoff.loginWindow()).statusLabel()->text(),
                 QStringLiteral("本机保存的登录状态无法删除，下次启动时仍会自动登录。"));
        QVERIFY(QDir(appDataFilePath("session.bin")).removeRecursively());
    }

    void signOutPostsLogoutWithTheOldToken()
    {
        Api api;
        WindowHandoff handoff(&api);
        handoff.start();
        signIn(handoff.loginWindow(), "carol");
        QTRY_VERIFY(handoff.currentWorkspace());
        byName<QPushButton>(handoff.currentWorkspace(), "logoutButton")->click();
        QTRY_COMPARE(countRequests("/api/auth/logout"), 1);
        for (const RecordedRequest& request : server->requests())
            if (request.path == "/api/auth/logout") {
                QCOMPARE(request.method, QByteArray("POST"));
                QCOMPARE(request.body, QByteArray("{}"));
                QCOMPARE(request.header("authorization"), QByteArray("Bearer tok-carol"));
            }
    }

    void signOutIsIgnoredWhileBusy()
    {
        Api api;
        WindowHandoff handoff(&api);
        handoff.start();
        signIn(handoff.loginWindow(), "dave");
        QTRY_VERIFY(handoff.currentWorkspace());
        ChatWindowProbe(handoff.currentWorkspace()).busy() = true;
        byName<QPushButton>(handoff.currentWorkspace(), "logoutButton")->click();
        QVERIFY(handoff.currentWorkspace());
        QCOMPARE(api.token, QStringLiteral("tok-dave"));
        QCOMPARE(countRequests("/api/auth/logout"), 0);
    }

    void newSignInAfterSignOutOpensAFreshWorkspace()
    {
        Api api;
        WindowHandoff handoff(&api);
        handoff.start();
        signIn(handoff.loginWindow(), "erin");
        QTRY_VERIFY(handoff.currentWorkspace());
        QPointer<ChatWindow> first = handoff.currentWorkspace();
        byName<QPushButton>(first, "logoutButton")->click();
        flushDeletes();
        QVERIFY(!first);
        signIn(handoff.loginWindow(), "frank");
        QTRY_VERIFY(handoff.currentWorkspace());
        QCOMPARE(workspaces().size(), 1);
        QCOMPARE(ChatWindowProbe(handoff.currentWorkspace()).user().value("username").toString(),
                 QStringLiteral("frank"));
    }

    void lateSessionCheckAfterManualSignInIsIgnored()
    {
        QVERIFY(writeSealedFile(sessionFileName, "tok-alice"));
        server->holdReplies(true);
        Api api;
        WindowHandoff handoff(&api);
        handoff.start();
        QVERIFY(server->waitForRequests(1)); // "/api/me" is out
        server->holdReplies(false);
        signIn(handoff.loginWindow(), "bob");
        QTRY_VERIFY(handoff.currentWorkspace());
        ChatWindow* bobs = handoff.currentWorkspace();
        server->release(); // now "/api/me" for alice succeeds
        QTest::qWait(150);
        QCOMPARE(handoff.currentWorkspace(), bobs);
        QCOMPARE(workspaces().size(), 1);
        QCOMPARE(api.token, QStringLiteral("tok-bob"));
        QCOMPARE(readSealedFile("session.bin"), QByteArray("tok-bob"));
    }

    void lateSessionCheckAfterSignInAndSignOutIsIgnored()
    {
        QVERIFY(writeSealedFile(sessionFileName, "tok-alice"));
        server->holdReplies(true);
        Api api;
        WindowHandoff handoff(&api);
        handoff.start();
        QVERIFY(server->waitForRequests(1)); // "/api/me" for alice is out
        server->holdReplies(false);
        signIn(handoff.loginWindow(), "bob");
        QTRY_VERIFY(handoff.currentWorkspace());
        byName<QPushButton>(handoff.currentWorkspace(), "logoutButton")->click();
        QVERIFY(!handoff.currentWorkspace());
        server->release(); // alice's old check now succeeds
        QTest::qWait(150);
        // Signed out stays signed out: no workspace without a token.
        QVERIFY(!handoff.currentWorkspace());
        QVERIFY(handoff.loginWindow()->isVisible());
        QVERIFY(api.token.isEmpty());
    }

    void lateSignInAfterSessionCheckIsIgnored()
    {
        QVERIFY(writeSealedFile(sessionFileName, "tok-alice"));
        Api api;
        WindowHandoff handoff(&api);
        // The user presses sign-in as another account while the check is still out.
        server->holdReplies(true);
        handoff.start();
        signIn(handoff.loginWindow(), "mallory");
        QVERIFY(server->waitForRequests(2));
        // Answer "/api/me" first, then the sign-in.
        server->release("/api/me");
        QTRY_VERIFY(handoff.currentWorkspace());
        server->release(); // then the sign-in's reply, which must change nothing
        QTest::qWait(150);
        QCOMPARE(workspaces().size(), 1);
        QCOMPARE(ChatWindowProbe(handoff.currentWorkspace()).user().value("username").toString(),
                 QStringLiteral("alice"));
        // One window, one token: the open workspace keeps the account it shows.
        QCOMPARE(api.token, QStringLiteral("tok-alice"));
        QCOMPARE(readSealedFile("session.bin"), QByteArray("tok-alice"));
    }
};

KESTRUNE_TEST_MAIN(TstHandoff)
#include "tst_handoff.moc"
