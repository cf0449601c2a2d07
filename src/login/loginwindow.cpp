#include "login/loginwindow.h"

#include "app/networkdialog.h"
#include "widgets/accessibletext.h"
#include "widgets/compositionguard.h"
#include "widgets/wrappedlabel.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>

LoginWindow::LoginWindow(Api* api, std::function<void(QJsonObject)> onLoggedIn)
    : api(api), onLoggedIn(std::move(onLoggedIn))
{
    setObjectName("loginWindow");
    setWindowTitle(QStringLiteral("KestruneAI · 登录"));
    resize(900, initialHeight);

    auto* root = new QHBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    // Brand panel: the name at the top, the star, line and caption packed at the bottom.
    auto* brandPanel = new QFrame(this);
    brandPanel->setObjectName("loginBrandPanel");
    brandPanel->setFixedWidth(355);
    root->addWidget(brandPanel, 0);

    auto* brandLayout = new QVBoxLayout(brandPanel);
    brandLayout->setContentsMargins(34, 30, 34, 34);
    auto* brand = new QLabel(QStringLiteral("✳   KestruneAI"), brandPanel);
    brand->setObjectName("loginBrand");
    brand->setAccessibleName(QStringLiteral("KestruneAI"));
    brandLayout->addWidget(brand);
    brandLayout->addStretch(0);
    auto* star = new QLabel(QStringLiteral("✳"), brandPanel);
    star->setObjectName("loginStar");
    star->setAccessibleName(QStringLiteral("KestruneAI 标志"));
    star->setAlignment(Qt::AlignCenter);
    brandLayout->addWidget(star);
    auto* brandLine = new QLabel(QStringLiteral("每一段思路，\n都有自己的方向。"), brandPanel);
    brandLine->setObjectName("loginBrandLine");
    brandLayout->addWidget(brandLine);
    brandLayout->addSpacing(12);
    auto* caption = new QLabel(QStringLiteral("KESTRUNE / PERSONAL AI WORKSPACE"), brandPanel);
    caption->setObjectName("loginCaption");
    brandLayout->addWidget(caption);

    // Form panel.
    auto* formPanel = new QFrame(this);
    formPanel->setObjectName("loginFormPanel");
    root->addWidget(formPanel, 1);

    auto* form = new QVBoxLayout(formPanel);
    form->setContentsMargins(60, 45, 60, 42);
    form->setSpacing(12);

    auto* eyebrow = new QLabel(QStringLiteral("欢迎来到 KestruneAI"), formPanel);
    eyebrow->setObjectName("formEyebrow");
    form->addWidget(eyebrow);
    loginHeading = new QLabel(QStringLiteral("继续你的对话。"), formPanel);
    loginHeading->setObjectName("loginHeading");
    form->addWidget(loginHeading);
    auto* description =
        new QLabel(QStringLiteral("登录后，云端对话会自动回到你的工作台。"), formPanel);
    description->setObjectName("formDescription");
    form->addWidget(description);
    form->addSpacing(17);

    loginGroup = new QWidget(formPanel);
    auto* loginLayout = new QVBoxLayout(loginGroup);
    loginLayout->setContentsMargins(0, 0, 0, 0);
    loginLayout->addWidget(new QLabel(QStringLiteral("用户名或邮箱"), loginGroup));
    loginEdit = new QLineEdit(loginGroup);
    loginEdit->setPlaceholderText(QStringLiteral("输入用户名或邮箱"));
    describeForScreenReaders(loginEdit, QStringLiteral("用户名或邮箱"),
                             QStringLiteral("输入用户名或邮箱"));
    loginLayout->addWidget(loginEdit);
    form->addWidget(loginGroup);

    registerGroup = new QWidget(formPanel);
    auto* registerLayout = new QVBoxLayout(registerGroup);
    registerLayout->setContentsMargins(0, 0, 0, 0);
    registerLayout->addWidget(new QLabel(QStringLiteral("用户名"), registerGroup));
    usernameEdit = new QLineEdit(registerGroup);
    usernameEdit->setPlaceholderText(QStringLiteral("3–32 位英文、数字或下划线"));
    describeForScreenReaders(usernameEdit, QStringLiteral("用户名"),
                             QStringLiteral("3 到 32 位英文、数字或下划线"));
    registerLayout->addWidget(usernameEdit);
    registerLayout->addWidget(new QLabel(QStringLiteral("邮箱"), registerGroup));
    emailEdit = new QLineEdit(registerGroup);
    emailEdit->setPlaceholderText(QStringLiteral("name@example.com"));
    describeForScreenReaders(emailEdit, QStringLiteral("邮箱"),
                             QStringLiteral("验证码将发送到这个邮箱"));
    registerLayout->addWidget(emailEdit);
    registerGroup->hide();
    form->addWidget(registerGroup);

    form->addWidget(new QLabel(QStringLiteral("密码"), formPanel));
    passwordEdit = new QLineEdit(formPanel);
    passwordEdit->setPlaceholderText(QStringLiteral("至少 12 位密码"));
    passwordEdit->setEchoMode(QLineEdit::Password);
    describeForScreenReaders(passwordEdit, QStringLiteral("密码"),
                             QStringLiteral("至少 12 位密码"));
    form->addWidget(passwordEdit);

    primaryButton = new QPushButton(QStringLiteral("登录  →"), formPanel);
    primaryButton->setObjectName("primaryButton");
    form->addWidget(primaryButton);
    textButton = new QPushButton(QStringLiteral("没有账号？创建账号"), formPanel);
    textButton->setObjectName("textButton");
    form->addWidget(textButton);
    describeModeButtons();

    hintLabel = new QLabel(formPanel);
    hintLabel->setObjectName("hintLabel");
    keepWrappedWithinWidth(hintLabel);
    // Both lines show what the user typed or the service sent: plain text, never markup.
    hintLabel->setTextFormat(Qt::PlainText);
    // Selectable so the address can be copied; never editable or a link.
    hintLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    hintLabel->setAccessibleDescription(QStringLiteral("验证码发送提示"));
    form->addWidget(hintLabel);

    verifyGroup = new QWidget(formPanel);
    auto* verifyLayout = new QHBoxLayout(verifyGroup);
    verifyLayout->setContentsMargins(0, 0, 0, 0);
    codeEdit = new QLineEdit(verifyGroup);
    codeEdit->setPlaceholderText(QStringLiteral("六位验证码"));
    codeEdit->setMaxLength(6);
    describeForScreenReaders(codeEdit, QStringLiteral("验证码"),
                             QStringLiteral("邮件中的六位验证码"));
    verifyLayout->addWidget(codeEdit);
    auto* verifyButton = new QPushButton(QStringLiteral("验证邮箱"), verifyGroup);
    verifyButton->setObjectName("secondaryButton");
    verifyButton->setAccessibleDescription(QStringLiteral("用验证码确认邮箱"));
    verifyLayout->addWidget(verifyButton);
    verifyGroup->hide();
    form->addWidget(verifyGroup);

    statusLabel = new QLabel(formPanel);
    statusLabel->setObjectName("statusLabel");
    keepWrappedWithinWidth(statusLabel);
    statusLabel->setTextFormat(Qt::PlainText);
    statusLabel->setAccessibleDescription(QStringLiteral("状态"));
    form->addWidget(statusLabel);
    form->addStretch(0);

    const auto startFlow = [this] {
        if (registerMode)
            doRegister();
        else
            doLogin();
    };
    connect(primaryButton, &QPushButton::clicked, this, startFlow);
    connect(passwordEdit, &QLineEdit::returnPressed, this, startFlow);
    connect(textButton, &QPushButton::clicked, this, [this] { setRegisterMode(!registerMode); });
    connect(verifyButton, &QPushButton::clicked, this, [this] { doVerify(); });

    for (QLineEdit* field : {loginEdit, usernameEdit, emailEdit, passwordEdit, codeEdit})
        CompositionGuard::install(field);
    addNetworkSettingsShortcut(this, api);
    // Anywhere outside the fields, which keep their own editing menu.
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this, [this](const QPoint& position) {
        QMenu menu;
        menu.addAction(networkSettingsActionText(), this,
                       [this] { openNetworkSettings(this, this->api); });
        menu.exec(mapToGlobal(position));
    });
}

LoginWindow::~LoginWindow() = default;

void LoginWindow::describeModeButtons()
{
    // The names a screen reader says, without the arrow the buttons show.
    if (registerMode) {
        describeForScreenReaders(primaryButton, QStringLiteral("发送验证码"),
                                 QStringLiteral("注册账号并向邮箱发送六位验证码"));
        describeForScreenReaders(textButton, QStringLiteral("返回登录"),
                                 QStringLiteral("已有账号时切换到登录"));
    } else {
        describeForScreenReaders(primaryButton, QStringLiteral("登录"),
                                 QStringLiteral("用用户名或邮箱和密码登录"));
        describeForScreenReaders(textButton, QStringLiteral("创建账号"),
                                 QStringLiteral("没有账号时切换到注册"));
    }
}

void LoginWindow::prepareForSignIn(bool sessionRemoved)
{
    passwordEdit->clear();
    statusLabel->setText(
        sessionRemoved ? QString()
                       : QStringLiteral("本机保存的登录状态无法删除，下次启动时仍会自动登录。"));
}

void LoginWindow::setRegisterMode(bool on)
{
    registerMode = on;
    // What goes away is hidden before what comes is shown: a layout pass in between would
    // find both forms, the code row and the hint at once and stretch the window to hold them.
    // Back in sign-in mode the code row goes away; entering register mode never restores it,
    // only a new successful registration does.
    if (on) {
        loginGroup->hide();
    } else {
        registerGroup->hide();
        verifyGroup->hide();
    }
    statusLabel->clear();
    hintLabel->clear();
    loginGroup->setVisible(!on);
    registerGroup->setVisible(on);
    loginHeading->setText(on ? QStringLiteral("创建你的账号。") : QStringLiteral("继续你的对话。"));
    primaryButton->setText(on ? QStringLiteral("发送验证码  →") : QStringLiteral("登录  →"));
    textButton->setText(on ? QStringLiteral("已有账号？返回登录")
                           : QStringLiteral("没有账号？创建账号"));
    describeModeButtons();
    fitHeightToContent();
}
