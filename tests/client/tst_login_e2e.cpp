#include "api/api.h"
#include "login/loginwindow.h"
#include "probes.h"
#include "serverprocess.h"
#include "testenvironment.h"
#include "widgetfinder.h"

#include <QApplication>
#include <QDateTime>
#include <QtTest>

class Tst_login_e2e : public QObject
{
    Q_OBJECT
private slots:
    void registerVerifySignInAndRestart();
};

// A new account from registration to a session that a restarted client can use.
void Tst_login_e2e::registerVerifySignInAndRestart()
{
    ServerProcess server;
    QVERIFY2(server.started(), qPrintable(server.output()));
    qputenv("KESTRUNEAI_BASE_URL", server.origin().toUtf8());

    const QString name =
        QStringLiteral("user_%1").arg(QDateTime::currentMSecsSinceEpoch() % 1000000);
    const QString email = name + QStringLiteral("@example.com");
    const QString password = QStringLiteral("a long enough password");

    QList<QJsonObject> loggedIn;
    {
        Api api;
        QVERIFY(api.token.isEmpty());
        LoginWindow window(&api, [&loggedIn](QJsonObject user) { loggedIn.append(user); });
        window.show();
        const LoginWindowProbe p(&window);
        auto* verifyButton = byName<QPushButton>(&window, QStringLiteral("secondaryButton"));
        QVERIFY(verifyButton);

        p.textButton()->click();
        p.usernameEdit()->setText(name);
        p.emailEdit()->setText(QStringLiteral("  ") + email);
        p.passwordEdit()->setText(password);
        QTest::keyClick(p.passwordEdit(), Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(p.statusLabel()->text(),
                                  QStringLiteral("请输入邮件中的六位验证码。"), 10000);
        QVERIFY(p.verifyGroup()->isVisible());
        QVERIFY(p.hintLabel()->text().contains(email));

        // A wrong code first: the service's own text, and the code row stays for a retry.
        const QString code = server.latestCodeFor(email);
        QCOMPARE(code.size(), 6);
        const QString wrong =
            code == "000000" ? QStringLiteral("111111") : QStringLiteral("000000");
        QTest::keyClicks(p.codeEdit(), wrong);
        verifyButton->click();
        QTRY_VERIFY_WITH_TIMEOUT(p.statusLabel()->text() != QStringLiteral("正在验证邮箱…"), 10000);
        QVERIFY(!p.statusLabel()->text().isEmpty());
        QVERIFY(p.verifyGroup()->isVisible());

        p.codeEdit()->setText(code);
        verifyButton->click();
        QTRY_COMPARE_WITH_TIMEOUT(p.statusLabel()->text(), QStringLiteral("邮箱验证成功，请登录。"),
                                  10000);
        QCOMPARE(p.loginEdit()->text(), email);
        QCOMPARE(p.passwordEdit()->text(), password);

        p.primaryButton()->click();
        QTRY_COMPARE_WITH_TIMEOUT(loggedIn.size(), 1, 10000);
        QCOMPARE(loggedIn.at(0).value("username").toString(), name);
        QVERIFY(!api.token.isEmpty());
        QVERIFY(window.isHidden());
    }

    // A restart: a fresh client finds the sealed token and the service accepts it.
    Api restarted;
    QVERIFY(!restarted.token.isEmpty());
    bool done = false;
    bool ok = false;
    QJsonObject reply;
    restarted.request("GET", "/api/me", {},
                      [&](bool success, const QJsonObject& body, const QString&) {
                          done = true;
                          ok = success;
                          reply = body;
                      });
    QTRY_VERIFY_WITH_TIMEOUT(done, 10000);
    QVERIFY(ok);
    QCOMPARE(reply.value("user").toObject().value("username").toString(), name);
}

KESTRUNE_TEST_MAIN(Tst_login_e2e)
#include "tst_login_e2e.moc"
