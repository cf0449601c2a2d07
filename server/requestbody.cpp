#include "requestbody.h"

#include "refusal.h"

namespace kestrune
{

using nlohmann::json;

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

} // namespace kestrune
