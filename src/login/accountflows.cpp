#include "api.h"
#include "loginwindow.h"
#include "session.h"

#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>

void LoginWindow::doLogin()
{
    statusLabel->setText(QStringLiteral("正在登录…"));
    const QJsonObject body{{"login", loginEdit->text().trimmed()},
                           {"password", passwordEdit->text()}};
    api->request("POST", "/api/auth/login", body,
                 [this](bool ok, const QJsonObject& reply, const QString& error) {
                     if (!ok) {
                         statusLabel->setText(error);
                         return;
                     }
                     api->token = reply.value("token").toString();
                     saveSessionToken(api->token);
                     onLoggedIn(reply.value("user").toObject());
                     hide();
                 });
}

void LoginWindow::doRegister() {}

void LoginWindow::doVerify() {}
