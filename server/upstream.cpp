#include "upstream.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <iostream>
#include <regex>

namespace kestrune
{
namespace
{

using nlohmann::json;

httplib::Headers headersFor(const std::string& apiKey)
{
    httplib::Headers headers;
    if (!apiKey.empty())
        headers.emplace("Authorization", "Bearer " + apiKey);
    return headers;
}

} // namespace

std::optional<UpstreamTarget> parseUpstreamUrl(std::string_view url)
{
    static const std::regex pattern(
        R"(^(https?)://([A-Za-z0-9.\-]+|\[[0-9A-Fa-f:.]+\])(:[0-9]{1,5})?(/[^?#]*)?$)");
    std::cmatch m;
    if (!std::regex_match(url.begin(), url.end(), m, pattern))
        return std::nullopt;
    UpstreamTarget target{m[1].str() + "://" + m[2].str() + m[3].str(), m[4].str()};
    while (!target.prefix.empty() && target.prefix.back() == '/')
        target.prefix.pop_back();
    if (target.prefix.ends_with("/v1"))
        target.prefix.resize(target.prefix.size() - 3);
    return target;
}

bool UpstreamEventParser::nextEvent(std::string& data)
{
    for (;;) {
        // Events end at an empty line; lines may end in CRLF or LF.
        std::size_t end = std::string::npos, skip = 0;
        for (std::size_t i = 0; i + 1 < buffer.size(); ++i) {
            if (buffer[i] != '\n')
                continue;
            if (buffer[i + 1] == '\n') {
                end = i, skip = 2;
                break;
            }
            if (buffer[i + 1] == '\r' && i + 2 < buffer.size() && buffer[i + 2] == '\n') {
                end = i, skip = 3;
                break;
            }
        }
        if (end == std::string::npos)
            return false;
        const std::string block = buffer.substr(0, end);
        buffer.erase(0, end + skip);

        data.clear();
        bool any = false;
        std::size_t start = 0;
        while (start <= block.size()) {
            auto nl = block.find('\n', start);
            if (nl == std::string::npos)
                nl = block.size();
            std::string_view line(block.data() + start, nl - start);
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            if (line.starts_with("data:")) {
                line.remove_prefix(5);
                if (line.starts_with(' '))
                    line.remove_prefix(1);
                if (any)
                    data += '\n';
                data.append(line);
                any = true;
            }
            start = nl + 1;
        }
        if (any)
            return true;
    }
}

UpstreamChunk interpretUpstreamData(std::string_view data)
{
    UpstreamChunk chunk;
    if (data == "[DONE]") {
        chunk.done = true;
        return chunk;
    }
    const json j = json::parse(data, nullptr, false);
    if (!j.is_object()) {
        chunk.error = true;
        return chunk;
    }
    if (j.contains("error")) {
        chunk.error = true;
        return chunk;
    }
    const auto choices = j.find("choices");
    if (choices == j.end() || !choices->is_array() || choices->empty())
        return chunk;
    const auto& choice = choices->front();
    if (!choice.is_object())
        return chunk;
    const auto delta = choice.find("delta");
    if (delta != choice.end() && delta->is_object()) {
        const auto content = delta->find("content");
        if (content != delta->end() && content->is_string())
            chunk.text = content->get<std::string>();
    }
    return chunk;
}

UpstreamClient::UpstreamClient(UpstreamTarget target, std::string apiKey)
    : where(std::move(target)), apiKey(std::move(apiKey))
{
}

std::optional<std::vector<std::string>> UpstreamClient::fetchModels() const
{
    httplib::Client client(where.origin);
    client.set_connection_timeout(3);
    client.set_read_timeout(5);
    const auto res = client.Get(where.prefix + "/v1/models", headersFor(apiKey));
    if (!res || res->status != 200) {
        std::cerr << "upstream: model list unavailable ("
                  << (res ? "HTTP " + std::to_string(res->status) : httplib::to_string(res.error()))
                  << ")\n";
        return std::nullopt;
    }
    const json j = json::parse(res->body, nullptr, false);
    if (!j.is_object() || !j.contains("data") || !j["data"].is_array())
        return std::nullopt;
    std::vector<std::string> ids;
    for (const auto& model : j["data"])
        if (model.is_object() && model.contains("id") && model["id"].is_string() &&
            !model["id"].get<std::string>().empty())
            ids.push_back(model["id"].get<std::string>());
    return ids;
}

GenerationOutcome UpstreamClient::streamChat(const std::string& model,
                                             const std::vector<ChatTurn>& messages,
                                             const Emit& emit) const
{
    json body{{"model", model}, {"stream", true}, {"messages", json::array()}};
    for (const auto& turn : messages)
        body["messages"].push_back({{"role", turn.role}, {"content", turn.content}});

    httplib::Client client(where.origin);
    client.set_connection_timeout(5);
    // An inactivity limit: a model that keeps producing is never cut off.
    client.set_read_timeout(120);
    client.set_write_timeout(10);

    httplib::Request req;
    req.method = "POST";
    req.path = where.prefix + "/v1/chat/completions";
    req.headers = headersFor(apiKey);
    req.headers.emplace("Accept", "text/event-stream");
    req.headers.emplace("Content-Type", "application/json");
    req.body = body.dump(-1, ' ', false, json::error_handler_t::replace);

    int status = 0;
    bool stopped = false, done = false, broken = false;
    UpstreamEventParser parser;
    req.response_handler = [&](const httplib::Response& res) {
        status = res.status;
        return status == 200;
    };
    req.content_receiver = [&](const char* data, std::size_t len, std::uint64_t, std::uint64_t) {
        parser.feed(std::string_view(data, len), [&](std::string_view payload) {
            if (stopped || done || broken)
                return;
            const UpstreamChunk chunk = interpretUpstreamData(payload);
            if (chunk.error)
                broken = true;
            else if (chunk.done)
                done = true;
            else if (!chunk.text.empty() && !emit(chunk.text))
                stopped = true;
        });
        return !stopped && !broken;
    };

    const auto result = client.send(req);
    if (stopped)
        return {};
    if (status != 0 && status != 200)
        return {true, "上游模型服务返回错误（HTTP " + std::to_string(status) + "）。"};
    if (broken)
        return {true, "上游模型服务报告了错误。"};
    if (!result && !done)
        return {true, "无法连接上游模型服务。"};
    return {};
}

} // namespace kestrune
