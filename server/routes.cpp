#include "routes.h"

#include "refusal.h"
#include "service.h"

#include <iostream>
#include <regex>

namespace kestrune
{

using nlohmann::json;

std::string jsonText(const json& value)
{
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

void sendJson(httplib::Response& res, int status, const json& body)
{
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(jsonText(body), "application/json; charset=utf-8");
}

void sendError(httplib::Response& res, int status, const std::string& message)
{
    sendJson(res, status, {{"error", message}});
}

json objectBody(const httplib::Request& req)
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

std::string bearerToken(const httplib::Request& req)
{
    const std::string header = req.get_header_value("Authorization");
    constexpr std::string_view prefix = "Bearer ";
    if (header.size() <= prefix.size() || header.compare(0, prefix.size(), prefix) != 0)
        return {};
    return header.substr(prefix.size());
}

User requireUser(Service& service, const httplib::Request& req)
{
    const std::string token = bearerToken(req);
    if (token.empty())
        throw Refusal(401, "请先登录。");
    auto user = service.accounts.userForToken(token);
    if (!user)
        throw Refusal(401, "登录已失效，请重新登录。");
    return *user;
}

httplib::Server::Handler
guarded(std::function<void(const httplib::Request&, httplib::Response&)> fn)
{
    return [fn = std::move(fn)](const httplib::Request& req, httplib::Response& res) {
        try {
            fn(req, res);
        } catch (const Refusal& refusal) {
            sendError(res, refusal.status, refusal.what());
        } catch (const std::exception& e) {
            std::cerr << "error: " << req.method << " " << req.path << ": " << e.what() << "\n";
            sendError(res, 500, "服务器内部错误，请稍后再试。");
        }
    };
}

bool isKnownPath(const std::string& path)
{
    static const std::regex known(
        R"(/api/(me|models|conversations(/[^/]+)?|chat/stream|auth/(login|logout|register|verify)))");
    return std::regex_match(path, known);
}

} // namespace kestrune
