#include "api/api.h"
#include "api/service.h"
#include "api/session.h"
#include "login/loginwindow.h"

#include <QJsonObject>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QScreen>

#include <algorithm>

// The window lives for the whole run, so the reply lambdas may hold the plain window pointer.

void LoginWindow::doLogin()
{
    statusLabel->setText(QStringLiteral("正在登录…"));
    service::signIn(
        *api, loginEdit->text().trimmed(), passwordEdit->text(),
        [this](const QString& token, const QJsonObject& user) {
            adoptSessionToken(*api, token);
            onLoggedIn(user);
            hide();
        },
        [this](const QString& error) { statusLabel->setText(error); });
}

void LoginWindow::doRegister()
{
    pendingId.clear();
    codeEdit->clear();
    verifyGroup->hide();
    fitHeightToContent();
    statusLabel->setText(QStringLiteral("正在发送验证码邮件…"));

    // The hint names the address that was sent, even if the field changes meanwhile.
    const QString email = emailEdit->text().trimmed();
    service::startRegistration(
        *api, usernameEdit->text().trimmed(), email, passwordEdit->text(),
        [this, email](const QString& pending) {
            pendingId = pending;
            hintLabel->setText(QStringLiteral("验证码已发送至 %1，15 分钟内有效。"
                                              "请查看收件箱及垃圾邮件文件夹。")
                                   .arg(email));
            verifyGroup->show();
            fitHeightToContent();
            codeEdit->setFocus(Qt::OtherFocusReason);
            statusLabel->setText(QStringLiteral("请输入邮件中的六位验证码。"));
        },
        [this](const QString& error) { statusLabel->setText(error); });
}

void LoginWindow::fitHeightToContent()
{
    // The window's minimum height counts a wrapped hint as one line: with the hint and the
    // code row shown the fields would be squeezed. So the height is what the content needs,
    // and never less than the initial height: the window grows for the hint and the code
    // row and returns once they are gone. Never taller than the screen leaves room for.
    QLayout* root = layout();
    root->activate();
    int target = std::max({initialHeight, root->totalHeightForWidth(width()), minimumHeight()});
    if (const QScreen* display = screen()) {
        const int frame = frameGeometry().height() - geometry().height();
        target = qMin(target, display->availableGeometry().height() - frame);
    }
    if (target != height())
        resize(width(), target);
}

void LoginWindow::doVerify()
{
    if (pendingId.isEmpty())
        return;
    statusLabel->setText(QStringLiteral("正在验证邮箱…"));
    service::verifyRegistration(
        *api, pendingId, codeEdit->text().trimmed(),
        [this](bool verified) {
            if (!verified)
                return;
            pendingId.clear();
            verifyGroup->hide();
            loginEdit->setText(emailEdit->text().trimmed());
            setRegisterMode(false);
            statusLabel->setText(QStringLiteral("邮箱验证成功，请登录。"));
        },
        // pendingId stays, so a corrected code can be tried again.
        [this](const QString& error) { statusLabel->setText(error); });
}
