#include "refusal.h"
#include "routes.h"
#include "routetable.h"
#include "service.h"
#include "text.h"

namespace kestrune
{

using nlohmann::json;

void addAccountRoutes(RouteTable& routes, Service& service)
{
    routes.add("POST", "/api/auth/register", [&service](const HttpRequest& req) {
        const json body = objectBody(req);
        const std::string username = trimmed(stringField(body, "username"));
        const std::string email = trimmed(stringField(body, "email"));
        const std::string password = stringField(body, "password");
        const auto pending =
            service.accounts.startRegistration(username, email, password, req.clientAddress);
        const auto file =
            service.outbox.sendVerificationCode(email, pending.code, pending.pendingId);
        // The console is the operator's mail view; codes never go to the request log.
        consoleLine("verification code for " + email + ": " + pending.code + " (" + file.string() +
                    ")");
        return jsonResponse(200, {{"pending_id", pending.pendingId}, {"expires_in", 900}});
    });

    routes.add("POST", "/api/auth/verify", [&service](const HttpRequest& req) {
        const json body = objectBody(req);
        const std::string pendingId = stringField(body, "pending_id");
        const std::string code = trimmed(stringField(body, "code"));
        const User user = service.accounts.verify(pendingId, code);
        return jsonResponse(200, {{"verified", true}, {"username", user.username}});
    });

    routes.add("POST", "/api/auth/login", [&service](const HttpRequest& req) {
        const json body = objectBody(req);
        const auto result = service.accounts.login(
            stringField(body, "login"), stringField(body, "password"), req.clientAddress);
        return jsonResponse(200, {{"token", result.token}, {"user", userJson(result.user)}});
    });

    routes.add("POST", "/api/auth/logout", [&service](const HttpRequest& req) {
        requireUser(service, req);
        service.accounts.revoke(bearerToken(req));
        return jsonResponse(200, {{"ok", true}});
    });

    routes.add("GET", "/api/me", [&service](const HttpRequest& req) {
        return jsonResponse(200, {{"user", userJson(requireUser(service, req))}});
    });
}

} // namespace kestrune
