#pragma once

#include "api/proxysettings.h"

#include <QDialog>

class Api;
class QButtonGroup;
class QComboBox;
class QLabel;
class QLineEdit;
class QWidget;

// "网络设置": follow the system's proxy configuration, go direct, or name an HTTP or SOCKS5
// proxy, with an optional user name and password. Saving applies it to the requests that
// follow.
class NetworkDialog : public QDialog
{
public:
    NetworkDialog(QWidget* parent, Api* api);

    // The settings the controls describe now.
    ProxySettings chosen() const;

    void accept() override;

private:
    void showChoice(const ProxySettings& settings);
    void updateEnabled();
    void showProblem(const QString& problem);

    Api* api;
    QButtonGroup* modes;
    QComboBox* kind;
    QLineEdit* host;
    QLineEdit* port;
    QLineEdit* user;
    QLineEdit* password;
    QLabel* problem;
};

// Ctrl+, on `window` opens the dialog for it.
void addNetworkSettingsShortcut(QWidget* window, Api* api);
// The text of the context-menu entry that opens it.
QString networkSettingsActionText();
void openNetworkSettings(QWidget* parent, Api* api);
