#include "routes.h"

#include "errortexts.h"
#include "failures.h"
#include "refusal.h"
#include "routetable.h"

namespace kestrune
{

std::string bearerToken(const HttpRequest& req)
{
    const std::string header = req.header("authorization");
    constexpr std::string_view prefix = "Bearer ";
    if (header.size() <= prefix.size() || header.compare(0, prefix.size(), prefix) != 0)
        return {};
    return header.substr(prefix.size());
}

User requireUser(Accounts& accounts, const HttpRequest& req)
{
    const std::string token = bearerToken(req);
    if (token.empty())
        throw Refusal(RefusalKind::notSignedIn, errortext::notSignedIn);
    auto user = accounts.userForToken(token);
    if (!user)
        throw Refusal(RefusalKind::notSignedIn, errortext::sessionExpired);
    return *user;
}

void addServiceRoutes(RouteTable& routes, ApiContext& api, boost::asio::thread_pool& blocking,
                      boost::asio::thread_pool& replies, PasswordHashing& hashing)
{
    addAccountRoutes(routes, api, blocking, hashing);
    addModelRoutes(routes, api);
    addConversationRoutes(routes, api);
    addChatRoutes(routes, api, replies);
    addHealthRoutes(routes, api);
    routes.setFailureReply(failureResponse);
}

} // namespace kestrune
