#include "upstream.h"

#include "replygeneration.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <nlohmann/json.hpp>

#include <iostream>
#include <regex>

namespace kestrune
{
namespace
{

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using nlohmann::json;

constexpr auto connectTime = std::chrono::seconds(5);
// An inactivity limit: a model that keeps producing is never cut off.
constexpr auto silenceTime = std::chrono::seconds(120);

struct Endpoint {
    bool tls = false;
    std::string host; // without brackets
    std::string port;
};

Endpoint endpointOf(const std::string& origin)
{
    static const std::regex pattern(R"(^(https?)://(\[([^\]]+)\]|[^:/]+)(:([0-9]+))?$)");
    std::smatch m;
    Endpoint e;
    if (!std::regex_match(origin, m, pattern))
        return e;
    e.tls = m[1] == "https";
    e.host = m[3].matched ? m[3].str() : m[2].str();
    e.port = m[5].matched ? m[5].str() : (e.tls ? "443" : "80");
    return e;
}

http::request<http::string_body> upstreamRequest(http::verb verb, const std::string& target,
                                                 const Endpoint& endpoint,
                                                 const std::string& apiKey, std::string body = {})
{
    http::request<http::string_body> req{verb, target, 11};
    req.set(http::field::host, endpoint.host);
    req.set(http::field::user_agent, "kestrune-server");
    if (!apiKey.empty())
        req.set(http::field::authorization, "Bearer " + apiKey);
    if (verb == http::verb::post) {
        req.set(http::field::content_type, "application/json");
        req.set(http::field::accept, "text/event-stream");
        req.body() = std::move(body);
        req.prepare_payload();
    }
    return req;
}

asio::ssl::context clientTls()
{
    asio::ssl::context context(asio::ssl::context::tls_client);
    context.set_default_verify_paths();
    context.set_verify_mode(asio::ssl::verify_peer);
    return context;
}

template <class Stream> void prepareTls(Stream& stream, const std::string& host)
{
    // The name for the certificate check and for servers that host several names.
    SSL_set_tlsext_host_name(stream.native_handle(), host.c_str());
    stream.set_verify_callback(asio::ssl::host_name_verification(host));
}

// GET with a blocking connection: for the model list, fetched on the pool for blocking work.
std::optional<std::string> fetchBody(const Endpoint& endpoint, const std::string& target,
                                     const std::string& apiKey, std::string& failure)
{
    try {
        asio::io_context io;
        tcp::resolver resolver(io);
        beast::tcp_stream tcpStream(io);
        tcpStream.expires_after(connectTime);
        tcpStream.connect(resolver.resolve(endpoint.host, endpoint.port));
        auto req = upstreamRequest(http::verb::get, target, endpoint, apiKey);
        beast::flat_buffer buffer;
        http::response<http::string_body> res;
        tcpStream.expires_after(std::chrono::seconds(5));
        if (endpoint.tls) {
            asio::ssl::context context = clientTls();
            beast::ssl_stream<beast::tcp_stream&> stream(tcpStream, context);
            prepareTls(stream, endpoint.host);
            stream.handshake(asio::ssl::stream_base::client);
            http::write(stream, req);
            http::read(stream, buffer, res);
        } else {
            http::write(tcpStream, req);
            http::read(tcpStream, buffer, res);
        }
        if (res.result_int() != 200) {
            failure = "HTTP " + std::to_string(res.result_int());
            return std::nullopt;
        }
        return std::move(res.body());
    } catch (const std::exception& e) {
        failure = e.what();
        return std::nullopt;
    }
}

template <class Stream>
asio::awaitable<GenerationOutcome> relay(Stream& stream, http::request<http::string_body>& req,
                                         const AsyncEmit& emit)
{
    const GenerationOutcome unreachable{true, "无法连接上游模型服务。"};
    beast::error_code ec;
    beast::get_lowest_layer(stream).expires_after(connectTime);
    co_await http::async_write(stream, req, asio::redirect_error(asio::use_awaitable, ec));
    if (ec)
        co_return unreachable;
    beast::flat_buffer buffer;
    http::response_parser<http::buffer_body> parser;
    parser.body_limit(boost::none); // a reply as long as the model makes it
    beast::get_lowest_layer(stream).expires_after(silenceTime);
    co_await http::async_read_header(stream, buffer, parser,
                                     asio::redirect_error(asio::use_awaitable, ec));
    if (ec)
        co_return unreachable;
    if (parser.get().result_int() != 200)
        co_return GenerationOutcome{true, "上游模型服务返回错误（HTTP " +
                                              std::to_string(parser.get().result_int()) + "）。"};

    UpstreamEventParser events;
    bool done = false;
    char chunk[8192];
    while (!parser.is_done()) {
        parser.get().body().data = chunk;
        parser.get().body().size = sizeof chunk;
        beast::get_lowest_layer(stream).expires_after(silenceTime);
        co_await http::async_read(stream, buffer, parser,
                                  asio::redirect_error(asio::use_awaitable, ec));
        if (ec == http::error::need_buffer)
            ec = {};
        const std::size_t got = sizeof chunk - parser.get().body().size;
        std::vector<std::string> payloads;
        events.feed(std::string_view(chunk, got),
                    [&](std::string_view payload) { payloads.emplace_back(payload); });
        for (const auto& payload : payloads) {
            const UpstreamChunk piece = interpretUpstreamData(payload);
            if (piece.error)
                co_return GenerationOutcome{true, "上游模型服务报告了错误。"};
            if (piece.done) {
                done = true;
                break;
            }
            if (!piece.text.empty() && !co_await emit(piece.text))
                co_return GenerationOutcome{};
        }
        if (done || ec)
            break;
    }
    if (ec && !done)
        co_return unreachable;
    co_return GenerationOutcome{};
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
    std::string failure;
    const auto body =
        fetchBody(endpointOf(where.origin), where.prefix + "/v1/models", apiKey, failure);
    if (!body) {
        std::cerr << "upstream: model list unavailable (" << failure << ")\n";
        return std::nullopt;
    }
    const json j = json::parse(*body, nullptr, false);
    if (!j.is_object() || !j.contains("data") || !j["data"].is_array())
        return std::nullopt;
    std::vector<std::string> ids;
    for (const auto& model : j["data"])
        if (model.is_object() && model.contains("id") && model["id"].is_string() &&
            !model["id"].get<std::string>().empty())
            ids.push_back(model["id"].get<std::string>());
    return ids;
}

asio::awaitable<GenerationOutcome> streamUpstreamChat(const UpstreamClient& upstream,
                                                      const std::string& model,
                                                      const std::vector<ChatTurn>& messages,
                                                      const AsyncEmit& emit)
{
    json body{{"model", model}, {"stream", true}, {"messages", json::array()}};
    for (const auto& turn : messages)
        body["messages"].push_back({{"role", turn.role}, {"content", turn.content}});
    const Endpoint endpoint = endpointOf(upstream.target().origin);
    auto req = upstreamRequest(http::verb::post, upstream.target().prefix + "/v1/chat/completions",
                               endpoint, upstream.key(),
                               body.dump(-1, ' ', false, json::error_handler_t::replace));

    const GenerationOutcome unreachable{true, "无法连接上游模型服务。"};
    const auto executor = co_await asio::this_coro::executor;
    beast::error_code ec;
    tcp::resolver resolver(executor);
    const auto addresses = co_await resolver.async_resolve(
        endpoint.host, endpoint.port, asio::redirect_error(asio::use_awaitable, ec));
    if (ec)
        co_return unreachable;
    beast::tcp_stream tcpStream(executor);
    tcpStream.expires_after(connectTime);
    co_await tcpStream.async_connect(addresses, asio::redirect_error(asio::use_awaitable, ec));
    if (ec)
        co_return unreachable;
    if (!endpoint.tls)
        co_return co_await relay(tcpStream, req, emit);

    asio::ssl::context context = clientTls();
    beast::ssl_stream<beast::tcp_stream&> stream(tcpStream, context);
    prepareTls(stream, endpoint.host);
    tcpStream.expires_after(connectTime);
    co_await stream.async_handshake(asio::ssl::stream_base::client,
                                    asio::redirect_error(asio::use_awaitable, ec));
    if (ec)
        co_return unreachable;
    co_return co_await relay(stream, req, emit);
}

} // namespace kestrune
