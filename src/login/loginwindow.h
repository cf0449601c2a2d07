#pragma once

#include <QJsonObject>
#include <QString>
#include <QWidget>

#include <functional>

class Api;
class QLabel;
class QLineEdit;
class QPushButton;

// The sign-in window: signing in, registering and confirming the e-mail code.
class LoginWindow : public QWidget
{
public:
    static constexpr int initialHeight = 560;

    LoginWindow(Api* api, std::function<void(QJsonObject)> onLoggedIn);
    ~LoginWindow() override;

    // Shown again after a sign-out: the password and the last status line go, so nobody at
    // the machine signs back in with Return; the mode and the user name stay. When the saved
    // session could not be removed, the status line says that the machine still holds it.
    void prepareForSignIn(bool sessionRemoved);

private:
    friend class LoginWindowProbe; // tests reach the state through it

    void setRegisterMode(bool on);
    void describeModeButtons();
    void doLogin();
    void doRegister();
    void doVerify();
    void fitHeightToContent();

    Api* api;
    std::function<void(QJsonObject)> onLoggedIn;
    QLineEdit* loginEdit = nullptr;
    QLineEdit* usernameEdit = nullptr;
    QLineEdit* emailEdit = nullptr;
    QLineEdit* passwordEdit = nullptr;
    QLineEdit* codeEdit = nullptr;
    QLabel* loginHeading = nullptr;
    QLabel* hintLabel = nullptr;
    QLabel* statusLabel = nullptr;
    QWidget* loginGroup = nullptr;
    QWidget* registerGroup = nullptr;
    QWidget* verifyGroup = nullptr;
    QPushButton* primaryButton = nullptr;
    QPushButton* textButton = nullptr;
    QString pendingId;
    bool registerMode = false;
};
