#include "routes.h"

#include "refusal.h"
#include "service.h"

namespace kestrune
{

using nlohmann::json;

std::string jsonText(const json& value)
{
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

HttpResponse jsonResponse(int status, const json& body)
{
    HttpResponse response;
    response.status = status;
    response.headers.emplace_back("Cache-Control", "no-store");
    response.body = jsonText(body);
    return response;
}

std::string bearerToken(const HttpRequest& req)
{
    const std::string header = req.header("authorization");
    constexpr std::string_view prefix = "Bearer ";
    if (header.size() <= prefix.size() || header.compare(0, prefix.size(), prefix) != 0)
        return {};
    return header.substr(prefix.size());
}

User requireUser(Service& service, const HttpRequest& req)
{
    const std::string token = bearerToken(req);
    if (token.empty())
        throw Refusal(401, "请先登录。");
    auto user = service.accounts.userForToken(token);
    if (!user)
        throw Refusal(401, "登录已失效，请重新登录。");
    return *user;
}

} // namespace kestrune
