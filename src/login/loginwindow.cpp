#include "loginwindow.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

LoginWindow::LoginWindow(Api* api, std::function<void(QJsonObject)> onLoggedIn)
    : api(api), onLoggedIn(std::move(onLoggedIn))
{
    setObjectName("loginWindow");
    setWindowTitle(QStringLiteral("KestruneAI · 登录"));
    resize(900, 560);
    auto* layout = new QVBoxLayout(this);
    loginEdit = new QLineEdit(this);
    loginEdit->setPlaceholderText(QStringLiteral("输入用户名或邮箱"));
    passwordEdit = new QLineEdit(this);
    passwordEdit->setEchoMode(QLineEdit::Password);
    passwordEdit->setPlaceholderText(QStringLiteral("至少 12 位密码"));
    primaryButton = new QPushButton(QStringLiteral("登录  →"), this);
    primaryButton->setObjectName("primaryButton");
    statusLabel = new QLabel(this);
    statusLabel->setObjectName("statusLabel");
    layout->addWidget(loginEdit);
    layout->addWidget(passwordEdit);
    layout->addWidget(primaryButton);
    layout->addWidget(statusLabel);
    connect(primaryButton, &QPushButton::clicked, this, [this] { doLogin(); });
    connect(passwordEdit, &QLineEdit::returnPressed, this, [this] { doLogin(); });
}

LoginWindow::~LoginWindow() = default;

void LoginWindow::setRegisterMode(bool on)
{
    registerMode = on;
}
