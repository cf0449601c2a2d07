#include "upstream.h"

#include "metrics.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <iostream>
#include <memory>
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
using Clock = std::chrono::steady_clock;

constexpr std::size_t maxModelListBytes = 1024 * 1024;
const char* const unreachableText = "无法连接上游模型服务。";

http::request<http::string_body> upstreamRequest(http::verb verb, const std::string& target,
                                                 const UpstreamEndpoint& endpoint,
                                                 const std::string& apiKey, std::string body = {})
{
    http::request<http::string_body> req{verb, target, 11};
    req.set(http::field::host, hostHeader(endpoint));
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

// Name resolution has no deadline of its own: a timer cancels it. Both run on the caller's
// strand; the timer lets go of the resolver once the coroutine is done with it.
asio::awaitable<tcp::resolver::results_type> resolveWithin(const UpstreamEndpoint& endpoint,
                                                           std::chrono::milliseconds limit,
                                                           beast::error_code& ec)
{
    const auto executor = co_await asio::this_coro::executor;
    auto resolver = std::make_shared<tcp::resolver>(executor);
    asio::steady_timer timer(executor, limit);
    timer.async_wait([weak = std::weak_ptr<tcp::resolver>(resolver)](beast::error_code e) {
        if (const auto r = weak.lock(); r && !e)
            r->cancel();
    });
    auto results = co_await resolver->async_resolve(endpoint.host, endpoint.port,
                                                    asio::redirect_error(asio::use_awaitable, ec));
    timer.cancel();
    co_return results;
}

// Connects to the upstream (TLS when its origin says so), every step within its deadline, and
// runs `operate` on the stream; `unreachable` and the reason in `failure` when that fails.
template <class Result, class Operate>
asio::awaitable<Result> overUpstream(const UpstreamClient& upstream, Operate operate,
                                     Result unreachable, std::string& failure)
{
    const auto endpoint = endpointOf(upstream.target().origin);
    if (!endpoint) {
        failure = "not an http(s) origin";
        co_return unreachable;
    }
    const UpstreamDeadlines& limits = upstream.deadlines();
    const auto executor = co_await asio::this_coro::executor;
    beast::error_code ec;
    const auto addresses = co_await resolveWithin(*endpoint, limits.resolve, ec);
    if (ec) {
        failure = "resolve: " + ec.message();
        co_return unreachable;
    }
    beast::tcp_stream tcpStream(executor);
    tcpStream.expires_after(limits.connect);
    co_await tcpStream.async_connect(addresses, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) {
        failure = "connect: " + ec.message();
        co_return unreachable;
    }
    if (!endpoint->tls)
        co_return co_await operate(tcpStream);

    asio::ssl::context context = clientTls();
    beast::ssl_stream<beast::tcp_stream&> stream(tcpStream, context);
    // The name for the certificate check and for servers that host several names.
    SSL_set_tlsext_host_name(stream.native_handle(), endpoint->host.c_str());
    stream.set_verify_callback(asio::ssl::host_name_verification(endpoint->host));
    tcpStream.expires_after(limits.connect);
    co_await stream.async_handshake(asio::ssl::stream_base::client,
                                    asio::redirect_error(asio::use_awaitable, ec));
    if (ec) {
        failure = "TLS handshake: " + ec.message();
        co_return unreachable;
    }
    co_return co_await operate(stream);
}

template <class Stream>
asio::awaitable<std::optional<std::string>>
readModelList(Stream& stream, http::request<http::string_body>& req,
              const UpstreamDeadlines& limits, std::string& failure)
{
    beast::error_code ec;
    beast::get_lowest_layer(stream).expires_after(limits.send);
    co_await http::async_write(stream, req, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) {
        failure = "send: " + ec.message();
        co_return std::nullopt;
    }
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.body_limit(maxModelListBytes);
    beast::get_lowest_layer(stream).expires_after(limits.listHead);
    co_await http::async_read_header(stream, buffer, parser,
                                     asio::redirect_error(asio::use_awaitable, ec));
    if (!ec) {
        beast::get_lowest_layer(stream).expires_after(limits.listBody);
        co_await http::async_read(stream, buffer, parser,
                                  asio::redirect_error(asio::use_awaitable, ec));
    }
    if (ec) {
        failure = "reading the model list: " + ec.message();
        co_return std::nullopt;
    }
    if (parser.get().result_int() != 200) {
        failure = "HTTP " + std::to_string(parser.get().result_int());
        co_return std::nullopt;
    }
    co_return std::move(parser.get().body());
}

template <class Stream>
asio::awaitable<GenerationOutcome> relay(Stream& stream, http::request<http::string_body>& req,
                                         const UpstreamDeadlines& limits, const AsyncEmit& emit)
{
    const GenerationOutcome unreachable{true, unreachableText};
    const auto replyEnd = Clock::now() + limits.reply;
    auto& tcpStream = beast::get_lowest_layer(stream);
    auto expireWithin = [&](std::chrono::milliseconds limit) {
        tcpStream.expires_at(std::min(Clock::now() + limit, replyEnd));
    };
    beast::error_code ec;
    expireWithin(limits.send);
    co_await http::async_write(stream, req, asio::redirect_error(asio::use_awaitable, ec));
    if (ec)
        co_return unreachable;
    beast::flat_buffer buffer;
    http::response_parser<http::buffer_body> parser;
    parser.body_limit(boost::none); // the reply's length is bounded where its text is sent
    expireWithin(limits.silence);
    co_await http::async_read_header(stream, buffer, parser,
                                     asio::redirect_error(asio::use_awaitable, ec));
    if (ec)
        co_return ec == beast::error::timeout
            ? GenerationOutcome{true, "上游模型服务长时间没有响应。"}
            : unreachable;
    if (parser.get().result_int() != 200)
        co_return GenerationOutcome{true, "上游模型服务返回错误（HTTP " +
                                              std::to_string(parser.get().result_int()) + "）。"};

    UpstreamEventParser events;
    char chunk[8192];
    while (!parser.is_done()) {
        parser.get().body().data = chunk;
        parser.get().body().size = sizeof chunk;
        expireWithin(limits.silence);
        // Whatever has arrived, not a full buffer: a model's fragments come a few at a time.
        co_await http::async_read_some(stream, buffer, parser,
                                       asio::redirect_error(asio::use_awaitable, ec));
        if (ec == http::error::need_buffer)
            ec = {};
        const std::size_t got = sizeof chunk - parser.get().body().size;
        std::vector<std::string> payloads;
        const bool sane = events.feed(std::string_view(chunk, got), [&](std::string_view payload) {
            payloads.emplace_back(payload);
        });
        for (const auto& payload : payloads) {
            const UpstreamChunk piece = interpretUpstreamData(payload);
            if (piece.error)
                co_return GenerationOutcome{true, "上游模型服务报告了错误。"};
            if (piece.done)
                co_return GenerationOutcome{};
            if (!piece.text.empty() && !co_await emit(piece.text))
                co_return GenerationOutcome{};
        }
        if (!sane)
            co_return GenerationOutcome{true, "上游模型服务返回的数据过大。"};
        if (ec)
            co_return ec == beast::error::timeout
                ? GenerationOutcome{true, "上游模型服务长时间没有响应。"}
                : unreachable;
    }
    // The body ended in good order without the end marker: some servers leave it out.
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

std::optional<UpstreamEndpoint> endpointOf(const std::string& origin)
{
    static const std::regex pattern(R"(^(https?)://(\[([^\]]+)\]|[^:/]+)(:([0-9]+))?$)");
    std::smatch m;
    if (!std::regex_match(origin, m, pattern))
        return std::nullopt;
    UpstreamEndpoint e;
    e.tls = m[1] == "https";
    e.host = m[3].matched ? m[3].str() : m[2].str();
    e.port = m[5].matched ? m[5].str() : (e.tls ? "443" : "80");
    return e;
}

std::string hostHeader(const UpstreamEndpoint& endpoint)
{
    std::string host =
        endpoint.host.find(':') != std::string::npos ? "[" + endpoint.host + "]" : endpoint.host;
    if (endpoint.port != (endpoint.tls ? "443" : "80"))
        host += ":" + endpoint.port;
    return host;
}

bool UpstreamEventParser::nextEvent(std::string& data)
{
    for (;;) {
        // Events end at an empty line; lines may end in CRLF or LF. The search resumes where
        // the last one stopped, two bytes back for an end split across reads.
        std::size_t end = std::string::npos, skip = 0;
        for (std::size_t i = std::max(start, scanned >= 2 ? scanned - 2 : 0); i + 1 < buffer.size();
             ++i) {
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
        if (end == std::string::npos) {
            scanned = buffer.size();
            return false;
        }
        const std::string_view block(buffer.data() + start, end - start);
        start = scanned = end + skip;

        data.clear();
        bool any = false;
        std::size_t from = 0;
        while (from <= block.size()) {
            auto nl = block.find('\n', from);
            if (nl == std::string_view::npos)
                nl = block.size();
            std::string_view line = block.substr(from, nl - from);
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
            from = nl + 1;
        }
        if (any)
            return true;
    }
}

void UpstreamEventParser::compact()
{
    // What was handed out goes, once it is most of the buffer: each byte moves at most once
    // more.
    if (start > 0 && start >= buffer.size() / 2) {
        buffer.erase(0, start);
        scanned -= start;
        start = 0;
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

UpstreamClient::UpstreamClient(UpstreamTarget target, std::string apiKey,
                               UpstreamDeadlines deadlines)
    : where(std::move(target)), apiKey(std::move(apiKey)), limits(deadlines)
{
}

asio::awaitable<std::optional<std::vector<std::string>>>
fetchUpstreamModels(const UpstreamClient& upstream, std::string& failure)
{
    const auto endpoint = endpointOf(upstream.target().origin);
    if (!endpoint) {
        failure = "not an http(s) origin";
        co_return std::nullopt;
    }
    auto req = upstreamRequest(http::verb::get, upstream.target().prefix + "/v1/models", *endpoint,
                               upstream.key());
    // Named, not temporaries: GCC 12 destroys a temporary argument of a coroutine twice.
    const auto operate = [&](auto& stream) {
        return readModelList(stream, req, upstream.deadlines(), failure);
    };
    const std::optional<std::string> unreachable;
    const auto body = co_await overUpstream(upstream, operate, unreachable, failure);
    if (!body)
        co_return std::nullopt;
    const json j = json::parse(*body, nullptr, false);
    if (!j.is_object() || !j.contains("data") || !j["data"].is_array()) {
        failure = "the model list is not an object with a \"data\" array";
        co_return std::nullopt;
    }
    std::vector<std::string> ids;
    for (const auto& model : j["data"])
        if (model.is_object() && model.contains("id") && model["id"].is_string() &&
            !model["id"].get<std::string>().empty())
            ids.push_back(model["id"].get<std::string>());
    co_return ids;
}

asio::awaitable<GenerationOutcome> streamUpstreamChat(const UpstreamClient& upstream,
                                                      const std::string& model,
                                                      const std::vector<ChatTurn>& messages,
                                                      const AsyncEmit& emit)
{
    json body{{"model", model}, {"stream", true}, {"messages", json::array()}};
    for (const auto& turn : messages)
        body["messages"].push_back({{"role", turn.role}, {"content", turn.content}});
    const auto endpoint = endpointOf(upstream.target().origin);
    if (!endpoint)
        co_return GenerationOutcome{true, unreachableText};
    auto req = upstreamRequest(http::verb::post, upstream.target().prefix + "/v1/chat/completions",
                               *endpoint, upstream.key(),
                               body.dump(-1, ' ', false, json::error_handler_t::replace));
    std::string failure;
    // Named, not temporaries: GCC 12 destroys a temporary argument of a coroutine twice.
    const auto operate = [&](auto& stream) {
        return relay(stream, req, upstream.deadlines(), emit);
    };
    const GenerationOutcome unreachable{true, unreachableText};
    const metrics::Stopwatch running;
    const GenerationOutcome outcome =
        co_await overUpstream(upstream, operate, unreachable, failure);
    metrics::upstreamFinished(outcome.failed, running.elapsed());
    if (!failure.empty())
        std::cerr << "upstream: reply failed (" << failure << ")\n";
    co_return outcome;
}

} // namespace kestrune
