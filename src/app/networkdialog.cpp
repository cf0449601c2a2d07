#include "app/networkdialog.h"

#include "api/api.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QVBoxLayout>

namespace
{

QLineEdit* field(QWidget* parent, const QString& name, const QString& accessibleName)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setAccessibleName(accessibleName);
    return edit;
}

} // namespace

NetworkDialog::NetworkDialog(QWidget* parent, Api* api) : QDialog(parent), api(api)
{
    setObjectName("networkDialog");
    setWindowTitle(QStringLiteral("网络设置"));

    auto* layout = new QVBoxLayout(this);
    auto* heading = new QLabel(QStringLiteral("连接 KestruneAI 服务时："), this);
    layout->addWidget(heading);

    modes = new QButtonGroup(this);
    const std::pair<ProxySettings::Mode, QString> choices[] = {
        {ProxySettings::Mode::System, QStringLiteral("跟随系统的代理设置")},
        {ProxySettings::Mode::None, QStringLiteral("不使用代理")},
        {ProxySettings::Mode::Http, QStringLiteral("使用以下代理服务器")},
    };
    for (const auto& [mode, text] : choices) {
        auto* button = new QRadioButton(text, this);
        modes->addButton(button, int(mode));
        layout->addWidget(button);
    }

    auto* form = new QFormLayout;
    form->setContentsMargins(24, 0, 0, 0);
    kind = new QComboBox(this);
    kind->setObjectName("proxyKind");
    kind->addItem(QStringLiteral("HTTP"), int(ProxySettings::Mode::Http));
    kind->addItem(QStringLiteral("SOCKS5"), int(ProxySettings::Mode::Socks5));
    form->addRow(QStringLiteral("类型"), kind);
    host = field(this, "proxyHost", QStringLiteral("代理服务器地址"));
    host->setPlaceholderText(QStringLiteral("例如 proxy.example.com"));
    form->addRow(QStringLiteral("地址"), host);
    port = field(this, "proxyPort", QStringLiteral("端口"));
    port->setPlaceholderText(QStringLiteral("例如 8080"));
    port->setMaxLength(5);
    form->addRow(QStringLiteral("端口"), port);
    user = field(this, "proxyUser", QStringLiteral("用户名"));
    user->setPlaceholderText(QStringLiteral("可不填"));
    form->addRow(QStringLiteral("用户名"), user);
    password = field(this, "proxyPassword", QStringLiteral("密码"));
    password->setEchoMode(QLineEdit::Password);
    password->setPlaceholderText(QStringLiteral("可不填，加密保存在本机"));
    form->addRow(QStringLiteral("密码"), password);
    layout->addLayout(form);

    problem = new QLabel(this);
    problem->setObjectName("proxyProblem");
    problem->setWordWrap(true);
    problem->setTextFormat(Qt::PlainText);
    problem->setStyleSheet(QStringLiteral("color:#b04a4a"));
    problem->hide();
    layout->addWidget(problem);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("保存"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
    connect(buttons, &QDialogButtonBox::accepted, this, &NetworkDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    connect(modes, &QButtonGroup::idClicked, this, [this] {
        updateEnabled();
        problem->hide();
    });
    for (QLineEdit* edit : {host, port, user, password})
        connect(edit, &QLineEdit::textEdited, problem, &QWidget::hide);

    showChoice(api->proxySettings());
    setMinimumWidth(420);
    adjustSize();
}

void NetworkDialog::showChoice(const ProxySettings& settings)
{
    const ProxySettings::Mode mode = settings.manual() ? ProxySettings::Mode::Http : settings.mode;
    modes->button(int(mode))->setChecked(true);
    kind->setCurrentIndex(settings.mode == ProxySettings::Mode::Socks5 ? 1 : 0);
    host->setText(settings.host);
    port->setText(settings.port > 0 ? QString::number(settings.port) : QString());
    user->setText(settings.user);
    password->setText(settings.password);
    updateEnabled();
}

void NetworkDialog::updateEnabled()
{
    const bool manual = modes->checkedId() == int(ProxySettings::Mode::Http);
    for (QWidget* control : std::initializer_list<QWidget*>{kind, host, port, user, password})
        control->setEnabled(manual);
}

ProxySettings NetworkDialog::chosen() const
{
    ProxySettings settings;
    settings.mode = ProxySettings::Mode(modes->checkedId());
    if (settings.mode != ProxySettings::Mode::Http)
        return settings;
    settings.mode = ProxySettings::Mode(kind->currentData().toInt());
    settings.host = host->text().trimmed();
    bool number = false;
    const int value = port->text().trimmed().toInt(&number);
    settings.port = number ? value : -1;
    settings.user = user->text();
    settings.password = password->text();
    return settings;
}

void NetworkDialog::showProblem(const QString& text)
{
    problem->setText(text);
    problem->show();
    adjustSize();
}

void NetworkDialog::accept()
{
    const ProxySettings settings = chosen();
    if (const QString wrong = proxySettingsProblem(settings); !wrong.isEmpty()) {
        showProblem(wrong);
        return;
    }
    if (!saveProxySettings(settings)) {
        showProblem(QStringLiteral("网络设置未能保存，请检查配置文件夹的权限。"));
        return;
    }
    api->useProxy(settings);
    QDialog::accept();
}

QString networkSettingsActionText()
{
    return QStringLiteral("网络设置…");
}

void openNetworkSettings(QWidget* parent, Api* api)
{
    // On the heap and guarded: the dialog's own event loop may outlive its parent.
    const QPointer<NetworkDialog> dialog = new NetworkDialog(parent, api);
    dialog->exec();
    delete dialog.data();
}

void addNetworkSettingsShortcut(QWidget* window, Api* api)
{
    auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma), window);
    shortcut->setContext(Qt::WindowShortcut);
    QObject::connect(shortcut, &QShortcut::activated, window,
                     [window, api] { openNetworkSettings(window, api); });
}
