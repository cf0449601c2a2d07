#include "apicontext.h"
#include "blocking.h"
#include "passwordhashing.h"
#include "routes.h"
#include "routetable.h"
#include "security.h"
#include "streamroute.h"
#include "text.h"

namespace kestrune
{

using nlohmann::json;

namespace
{

// A route whose database steps run on the pool for blocking work and whose password hash runs
// on the hashing threads, between them.
class HashingRoute : public AsyncRoute
{
public:
    HashingRoute(ApiContext& api, asio::thread_pool& blocking, PasswordHashing& hashing)
        : api(api), blocking(blocking), hashing(hashing)
    {
    }

protected:
    ApiContext& api;
    asio::thread_pool& blocking;
    PasswordHashing& hashing;
};

// Signing up: the checks, the password hash, then the sign-up stored and its code mailed.
class Register : public HashingRoute
{
public:
    using HashingRoute::HashingRoute;

    asio::awaitable<HttpResponse> answer(HttpRequest req) override
    {
        const json body = objectBody(req);
        const std::string username = trimmed(stringField(body, "username"));
        const std::string email = trimmed(stringField(body, "email"));
        const std::string password = stringField(body, "password");
        co_await runBlocking(blocking, [&] {
            api.accounts.checkRegistration(username, email, password, req.clientAddress);
        });
        const std::string hash =
            co_await hashing.run(req.clientAddress, [&] { return hashPassword(password); });
        const PendingRegistration pending = co_await runBlocking(blocking, [&] {
            auto stored = api.accounts.storeRegistration(username, email, hash);
            api.mailer.sendVerificationCode(email, stored.code, stored.pendingId);
            return stored;
        });
        co_return jsonResponse(200, {{"pending_id", pending.pendingId}, {"expires_in", 900}});
    }
};

// Signing in: the account looked up and the guards asked, the password checked (a name without
// an account costs the same time), the outcome counted.
class Login : public HashingRoute
{
public:
    using HashingRoute::HashingRoute;

    asio::awaitable<HttpResponse> answer(HttpRequest req) override
    {
        const json body = objectBody(req);
        const std::string login = stringField(body, "login");
        const std::string password = stringField(body, "password");
        const SignInAttempt attempt = co_await runBlocking(
            blocking, [&] { return api.accounts.beginLogin(login, password, req.clientAddress); });
        const bool matches = co_await hashing.run(req.clientAddress, [&] {
            if (!attempt.user) {
                verifyAgainstDummy(password);
                return false;
            }
            return verifyPassword(attempt.passwordHash, password);
        });
        const LoginResult result = co_await runBlocking(blocking, [&] {
            return api.accounts.finishLogin(attempt, matches, req.clientAddress);
        });
        co_return jsonResponse(200, {{"token", result.token}, {"user", userJson(result.user)}});
    }
};

} // namespace

void addAccountRoutes(RouteTable& routes, ApiContext& api, asio::thread_pool& blocking,
                      PasswordHashing& hashing)
{
    routes.add("POST", "/api/auth/register", std::make_shared<Register>(api, blocking, hashing));

    routes.add("POST", "/api/auth/verify", [&api](const HttpRequest& req) {
        const json body = objectBody(req);
        const std::string pendingId = stringField(body, "pending_id");
        const std::string code = trimmed(stringField(body, "code"));
        const User user = api.accounts.verify(pendingId, code);
        return jsonResponse(200, {{"verified", true}, {"username", user.username}});
    });

    routes.add("POST", "/api/auth/login", std::make_shared<Login>(api, blocking, hashing));

    routes.add("POST", "/api/auth/logout", [&api](const HttpRequest& req) {
        requireUser(api.accounts, req);
        api.accounts.revoke(bearerToken(req));
        return jsonResponse(200, {{"ok", true}});
    });

    routes.add("GET", "/api/me", [&api](const HttpRequest& req) {
        return jsonResponse(200, {{"user", userJson(requireUser(api.accounts, req))}});
    });
}

} // namespace kestrune
