#include "refusal.h"
#include "routes.h"
#include "service.h"
#include "text.h"

namespace kestrune
{

using nlohmann::json;

void addAccountRoutes(httplib::Server& server, Service& service)
{
    server.Post("/api/auth/register", guarded([&service](const auto& req, auto& res) {
                    const json body = objectBody(req);
                    const std::string username = trimmed(stringField(body, "username"));
                    const std::string email = trimmed(stringField(body, "email"));
                    const std::string password = stringField(body, "password");
                    const auto pending =
                        service.accounts.startRegistration(username, email, password);
                    const auto file =
                        service.outbox.sendVerificationCode(email, pending.code, pending.pendingId);
                    // The console is the operator's mail view; codes never go to the request log.
                    consoleLine("verification code for " + email + ": " + pending.code + " (" +
                                file.string() + ")");
                    sendJson(res, 200, {{"pending_id", pending.pendingId}, {"expires_in", 900}});
                }));

    server.Post("/api/auth/verify", guarded([&service](const auto& req, auto& res) {
                    const json body = objectBody(req);
                    const std::string pendingId = stringField(body, "pending_id");
                    const std::string code = trimmed(stringField(body, "code"));
                    const User user = service.accounts.verify(pendingId, code);
                    sendJson(res, 200, {{"verified", true}, {"username", user.username}});
                }));

    server.Post("/api/auth/login", guarded([&service](const auto& req, auto& res) {
                    const json body = objectBody(req);
                    const auto result = service.accounts.login(stringField(body, "login"),
                                                               stringField(body, "password"));
                    sendJson(res, 200, {{"token", result.token}, {"user", userJson(result.user)}});
                }));

    server.Post("/api/auth/logout", guarded([&service](const auto& req, auto& res) {
                    requireUser(service, req);
                    service.accounts.revoke(bearerToken(req));
                    sendJson(res, 200, {{"ok", true}});
                }));

    server.Get("/api/me", guarded([&service](const auto& req, auto& res) {
                   sendJson(res, 200, {{"user", userJson(requireUser(service, req))}});
               }));
}

} // namespace kestrune
