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

json objectBody(const HttpRequest& req)
{
    json body = json::parse(req.body, nullptr, false);
    if (body.is_discarded())
        throw Refusal(400, "请求内容不是有效的 JSON。");
    if (!body.is_object())
        throw Refusal(400, "请求内容必须是 JSON 对象。");
    return body;
}

std::string stringField(const json& body, const char* key)
{
    const auto it = body.find(key);
    if (it == body.end())
        throw Refusal(400, std::string("缺少字段 ") + key + "。");
    if (!it->is_string())
        throw Refusal(400, std::string("字段 ") + key + " 必须是字符串。");
    return it->get<std::string>();
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
