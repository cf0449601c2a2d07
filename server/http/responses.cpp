#include "responses.h"

namespace kestrune
{

std::string jsonText(const nlohmann::json& value)
{
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

HttpResponse jsonResponse(int status, const nlohmann::json& body)
{
    HttpResponse response;
    response.status = status;
    response.headers.emplace_back("Cache-Control", "no-store");
    response.body = jsonText(body);
    return response;
}

HttpResponse errorResponse(int status, const std::string& message)
{
    return jsonResponse(status, {{"error", message}});
}

std::string defaultErrorText(int status)
{
    switch (status) {
    case 400:
        return "请求格式不正确。";
    case 404:
        return "请求的接口不存在。";
    case 405:
        return "该接口不支持此请求方法。";
    case 408:
        return "请求发送超时。";
    case 413:
        return "请求内容过大，上限为 " + std::to_string(maxBodyBytes / (1024 * 1024)) + " MiB。";
    case 414:
    case 431:
        return "请求地址或请求头过长。";
    case 503:
        return "服务器繁忙，请稍后再试。";
    default:
        return status >= 500 ? "服务器内部错误，请稍后再试。" : "请求无法处理。";
    }
}

} // namespace kestrune
