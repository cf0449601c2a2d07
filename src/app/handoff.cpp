#include "app/handoff.h"

#include "api/api.h"
#include "api/service.h"
#include "api/session.h"
#include "app/windowplace.h"
#include "chat/chatwindow.h"
#include "login/loginwindow.h"

WindowHandoff::WindowHandoff(Api* api) : api(api)
{
    login = std::make_unique<LoginWindow>(api, [this](QJsonObject user) { openWorkspace(user); });
}

WindowHandoff::~WindowHandoff()
{
    delete workspace; // normally closed already; never outlive the Api it points to
}

void WindowHandoff::start()
{
    showInRememberedPlace(login.get(), QStringLiteral("login"));
    if (api->token.isEmpty())
        return;
    const QString checkedToken = api->token;
    service::fetchCurrentUser(*api,
                              [this, checkedToken](const QJsonObject& user) {
                                  // A sign-in or sign-out while the check was out has made its
                                  // answer stale.
                                  if (workspace || api->token != checkedToken)
                                      return;
                                  openWorkspace(user);
                                  login->hide();
                              },
                              {});
}

void WindowHandoff::openWorkspace(const QJsonObject& user)
{
    if (workspace) {
        // A second hand-off (say a late sign-in reply) must not leave the open workspace
        // running on another account's token: keep the one it was opened with.
        adoptSessionToken(*api, workspaceToken);
        return;
    }
    auto* window = new ChatWindow(api, user, [this] { signOut(); });
    workspace = window;
    workspaceToken = api->token;
    window->setAttribute(Qt::WA_DeleteOnClose);
    showInRememberedPlace(window, QStringLiteral("workspace"));
}

void WindowHandoff::signOut()
{
    service::signOut(*api);
    login->prepareForSignIn(dropSession(*api));
    login->show();
    if (workspace) {
        workspace->close();
        workspace = nullptr;
    }
}

ChatWindow* WindowHandoff::currentWorkspace() const
{
    return workspace;
}
