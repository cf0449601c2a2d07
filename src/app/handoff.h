#pragma once

#include <QJsonObject>
#include <QPointer>

#include <memory>

class Api;
class ChatWindow;
class LoginWindow;

// The two hand-offs between the windows: sign-in to workspace, and back at sign-out.
class WindowHandoff
{
public:
    explicit WindowHandoff(Api* api);
    ~WindowHandoff();

    LoginWindow* loginWindow() const { return login.get(); }
    ChatWindow* currentWorkspace() const;

    // Shows the sign-in window and, with a saved token, asks "/api/me" whether it is still good.
    void start();

private:
    void openWorkspace(const QJsonObject& user);
    void signOut();

    Api* api;
    std::unique_ptr<LoginWindow> login;
    QPointer<ChatWindow> workspace;
    QString workspaceToken; // the token the open workspace was opened with
};
