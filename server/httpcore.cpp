#include "httpcore.h"

#include "refusal.h"
#include "routetable.h"
#include "storage.h"
#include "streamroute.h"
#include "text.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <unordered_map>

namespace kestrune
{

namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

std::string HttpRequest::header(std::string_view name) const
{
    for (const auto& [key, value] : headers)
        if (key.size() == name.size() && asciiLower(std::string(name)) == key)
            return value;
    return {};
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
        return "请求内容过大，上限为 1 MiB。";
    case 414:
    case 431:
        return "请求地址或请求头过长。";
    case 503:
        return "同一地址的连接过多，请稍后再试。";
    default:
        return status >= 500 ? "服务器内部错误，请稍后再试。" : "请求无法处理。";
    }
}

namespace
{

HttpResponse errorResponse(int status, const std::string& message)
{
    HttpResponse response;
    response.status = status;
    response.headers.emplace_back("Cache-Control", "no-store");
    response.body = nlohmann::json{{"error", message}}.dump(
        -1, ' ', false, nlohmann::json::error_handler_t::replace);
    return response;
}

// A Refusal becomes its JSON error reply; anything else a 500 with a generic text (the details
// go to the log only).
HttpResponse answer(const PlainHandler& handler, const HttpRequest& request)
{
    try {
        return handler(request);
    } catch (const Refusal& refusal) {
        return errorResponse(refusal.status, refusal.what());
    } catch (const std::exception& e) {
        std::cerr << "error: " << request.method << " " << request.path << ": " << e.what() << "\n";
        return errorResponse(500, defaultErrorText(500));
    }
}

// One line per request on stderr: time, client, method, path, status, duration. Never the
// query, headers or body, so no password, code or token can end up in the log.
void logRequest(const std::string& address, const std::string& method, const std::string& path,
                int status, std::chrono::steady_clock::time_point start)
{
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    const std::string line = isoTime(nowMs()) + " " + address + " " + printable(method, 16) + " " +
                             printable(path) + " " + std::to_string(status) + " " +
                             std::to_string(elapsed) + "ms\n";
    std::fputs(line.c_str(), stderr);
}

template <class Stream> auto& lowest(Stream& stream)
{
    return beast::get_lowest_layer(stream);
}

template <class Stream>
asio::awaitable<bool> writeResponse(Stream& stream, const HttpResponse& response, unsigned version,
                                    bool keepAlive, std::chrono::milliseconds time)
{
    http::response<http::string_body> message{static_cast<http::status>(response.status), version};
    message.set(http::field::content_type, response.contentType);
    for (const auto& [name, value] : response.headers)
        message.set(name, value);
    message.keep_alive(keepAlive);
    message.body() = response.body;
    message.prepare_payload();
    lowest(stream).expires_after(time);
    beast::error_code ec;
    co_await http::async_write(stream, message, asio::redirect_error(asio::use_awaitable, ec));
    co_return !ec;
}

// After an error reply that ends the connection before the request was read whole: stop
// sending, then read and drop what the client still sends for a moment. Closing at once
// with unread data would reset the connection, and the client might never see the reply.
template <class Stream> asio::awaitable<void> closeGently(Stream& stream)
{
    if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
        beast::error_code ec;
        stream.socket().shutdown(tcp::socket::shutdown_send, ec);
        char scratch[16 * 1024];
        std::size_t drained = 0;
        stream.expires_after(std::chrono::seconds(1));
        while (!ec && drained < 4 * 1024 * 1024) {
            drained += co_await stream.async_read_some(
                asio::buffer(scratch), asio::redirect_error(asio::use_awaitable, ec));
        }
    }
}

// A streamed reply in chunks on the connection of the request.
template <class Stream> class ChunkedStream : public ResponseStream
{
public:
    ChunkedStream(Stream& stream, unsigned version, std::chrono::milliseconds writeTime)
        : stream(stream), version(version), writeTime(writeTime)
    {
    }

    asio::awaitable<void> start(int code, std::string contentType,
                                std::vector<std::pair<std::string, std::string>> headers) override
    {
        status = code;
        started = true;
        std::string head = (version >= 11 ? "HTTP/1.1 " : "HTTP/1.0 ") + std::to_string(code) +
                           " " + std::string(http::obsolete_reason(http::int_to_status(code))) +
                           "\r\nContent-Type: " + contentType + "\r\n";
        for (const auto& [name, value] : headers)
            head += name + ": " + value + "\r\n";
        head += version >= 11 ? "Transfer-Encoding: chunked\r\n\r\n" : "Connection: close\r\n\r\n";
        co_await send(std::move(head));
    }

    asio::awaitable<bool> write(std::string data) override
    {
        if (broken)
            co_return false;
        if (data.empty())
            co_return true;
        if (version >= 11) {
            char size[20];
            std::snprintf(size, sizeof size, "%zx\r\n", data.size());
            data.insert(0, size);
            data += "\r\n";
        }
        co_return co_await send(std::move(data));
    }

    asio::awaitable<void> finish() override
    {
        if (version >= 11)
            co_await send("0\r\n\r\n");
        finished = !broken;
    }

    bool started = false;
    bool finished = false;
    int status = 0;

private:
    asio::awaitable<bool> send(std::string data)
    {
        if (broken)
            co_return false;
        lowest(stream).expires_after(writeTime);
        beast::error_code ec;
        co_await asio::async_write(stream, asio::buffer(data),
                                   asio::redirect_error(asio::use_awaitable, ec));
        broken = bool(ec);
        co_return !broken;
    }

    Stream& stream;
    unsigned version;
    std::chrono::milliseconds writeTime;
    bool broken = false;
};

} // namespace

struct HttpServer::Impl {
    Impl(const RouteTable& routes, asio::thread_pool& blocking, ConnectionLimits limits)
        : routes(routes), blocking(blocking), limits(limits)
    {
    }

    template <class Stream>
    asio::awaitable<void> serveRequests(Stream& stream, const std::string& address);
    asio::awaitable<void> serveConnection(tcp::socket socket);
    asio::awaitable<void> acceptLoop();

    // Counts the open connections of one client address; false when it has too many.
    bool admit(const std::string& address);
    void release(const std::string& address);

    const RouteTable& routes;
    asio::thread_pool& blocking;
    ConnectionLimits limits;
    std::mutex mutex;
    std::unordered_map<std::string, int> openPerAddress;
    std::atomic<bool> stopping{false};
    std::optional<asio::ssl::context> tls;
    // Last, so that they go first: the connections they still hold use everything above.
    asio::io_context io;
    tcp::acceptor acceptor{io};
};

bool HttpServer::Impl::admit(const std::string& address)
{
    std::lock_guard guard(mutex);
    int& open = openPerAddress[address];
    if (open >= limits.maxConnectionsPerAddress)
        return false;
    ++open;
    return true;
}

void HttpServer::Impl::release(const std::string& address)
{
    std::lock_guard guard(mutex);
    if (--openPerAddress[address] <= 0)
        openPerAddress.erase(address);
}

template <class Stream>
asio::awaitable<void> HttpServer::Impl::serveRequests(Stream& stream, const std::string& address)
{
    beast::flat_buffer buffer;
    for (;;) {
        beast::error_code ec;
        // An idle kept-alive connection waits for its next request; then the whole head must
        // arrive in time, however slowly it trickles in.
        // (Behind TLS the next request may already wait decrypted-to-be in the TLS layer, so
        // there the idle time simply adds to the head's.)
        if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
            if (buffer.size() == 0) {
                lowest(stream).expires_after(limits.idleTime);
                co_await lowest(stream).socket().async_wait(
                    tcp::socket::wait_read, asio::redirect_error(asio::use_awaitable, ec));
                if (ec)
                    co_return;
            }
        }
        http::request_parser<http::string_body> parser;
        parser.header_limit(static_cast<std::uint32_t>(limits.maxHeaderBytes));
        parser.body_limit(limits.maxBodyBytes);
        if constexpr (std::is_same_v<Stream, beast::tcp_stream>)
            lowest(stream).expires_after(limits.headerTime);
        else
            lowest(stream).expires_after(limits.idleTime + limits.headerTime);
        co_await http::async_read_header(stream, buffer, parser,
                                         asio::redirect_error(asio::use_awaitable, ec));
        const auto start = std::chrono::steady_clock::now();
        if (ec) {
            // A declared length over the limit is refused here, before a byte of the body.
            const int refused =
                ec == http::error::header_limit                                            ? 431
                : ec == http::error::body_limit                                            ? 413
                : ec == beast::error::timeout                                              ? 408
                : ec == http::error::end_of_stream || ec == asio::error::operation_aborted ? 0
                                                                                           : 400;
            // Nothing is answered to a connection that ended or idled without a request.
            if (refused && (buffer.size() > 0 || refused != 408)) {
                co_await writeResponse(stream, errorResponse(refused, defaultErrorText(refused)),
                                       11, false, limits.writeTime);
                co_await closeGently(stream);
            }
            co_return;
        }
        const unsigned version = parser.get().version();
        // A declared body over the limit is refused before a byte of it is read.
        if (const auto length = parser.content_length(); length && *length > limits.maxBodyBytes) {
            co_await writeResponse(stream, errorResponse(413, defaultErrorText(413)), version,
                                   false, limits.writeTime);
            logRequest(address, std::string(parser.get().method_string()),
                       std::string(parser.get().target()), 413, start);
            co_await closeGently(stream);
            co_return;
        }
        if (!parser.is_done()) {
            lowest(stream).expires_after(limits.bodyTime);
            co_await http::async_read(stream, buffer, parser,
                                      asio::redirect_error(asio::use_awaitable, ec));
            const int refused = ec == http::error::body_limit            ? 413
                                : ec == beast::error::timeout            ? 408
                                : ec && ec != http::error::end_of_stream ? 400
                                                                         : 0;
            if (ec) {
                if (refused) {
                    co_await writeResponse(stream,
                                           errorResponse(refused, defaultErrorText(refused)),
                                           version, false, limits.writeTime);
                    co_await closeGently(stream);
                }
                co_return;
            }
        }

        auto message = parser.release();
        HttpRequest request;
        request.method = std::string(message.method_string());
        const std::string_view target = message.target();
        request.path = std::string(target.substr(0, target.find('?')));
        for (const auto& field : message)
            request.headers.emplace_back(asciiLower(std::string(field.name_string())),
                                         std::string(field.value()));
        request.body = std::move(message.body());
        request.clientAddress = address;
        bool keepAlive = message.keep_alive() && !stopping;

        const RouteTable::Match match = routes.find(request.method, request.path);
        int status = 0;
        if (message.method() == http::verb::unknown) {
            // Not a method of HTTP at all: a malformed request, whatever the path.
            status = 400;
            co_await writeResponse(stream, errorResponse(400, defaultErrorText(400)), version,
                                   false, limits.writeTime);
            keepAlive = false;
        } else if (!match.handler) {
            HttpResponse response = errorResponse(match.status, defaultErrorText(match.status));
            if (match.status == 405)
                response.headers.emplace_back("Allow", match.allow);
            status = response.status;
            keepAlive =
                co_await writeResponse(stream, response, version, keepAlive, limits.writeTime) &&
                keepAlive;
        } else if (const auto* plain = std::get_if<PlainHandler>(match.handler)) {
            request.params = match.params;
            const HttpResponse response =
                co_await runBlocking(blocking, [&] { return answer(*plain, request); });
            status = response.status;
            keepAlive =
                co_await writeResponse(stream, response, version, keepAlive, limits.writeTime) &&
                keepAlive;
        } else {
            request.params = match.params;
            const auto route = std::get<std::shared_ptr<StreamRoute>>(*match.handler);
            ChunkedStream<Stream> out(stream, version, limits.writeTime);
            std::optional<HttpResponse> refusal;
            try {
                co_await route->serve(request, out);
            } catch (const Refusal& r) {
                refusal = errorResponse(r.status, r.what());
            } catch (const std::exception& e) {
                std::cerr << "error: " << request.method << " " << request.path << ": " << e.what()
                          << "\n";
                refusal = errorResponse(500, defaultErrorText(500));
            }
            if (refusal && !out.started) {
                status = refusal->status;
                keepAlive = co_await writeResponse(stream, *refusal, version, keepAlive,
                                                   limits.writeTime) &&
                            keepAlive;
            } else {
                status = out.status;
                keepAlive = keepAlive && out.finished && version >= 11;
            }
        }
        logRequest(address, request.method, request.path, status, start);
        if (!keepAlive)
            co_return;
    }
}

asio::awaitable<void> HttpServer::Impl::serveConnection(tcp::socket socket)
{
    beast::error_code ec;
    const auto endpoint = socket.remote_endpoint(ec);
    if (ec)
        co_return;
    const std::string address = endpoint.address().to_string();
    if (!admit(address)) {
        // Told at once and closed: one client cannot take every connection there is.
        beast::tcp_stream refused(std::move(socket));
        co_await writeResponse(refused, errorResponse(503, defaultErrorText(503)), 11, false,
                               std::chrono::seconds(2));
        co_return;
    }
    struct Release {
        Impl& impl;
        const std::string& address;
        ~Release() { impl.release(address); }
    } release{*this, address};

    if (tls) {
        beast::ssl_stream<beast::tcp_stream> stream(std::move(socket), *tls);
        lowest(stream).expires_after(limits.headerTime);
        co_await stream.async_handshake(asio::ssl::stream_base::server,
                                        asio::redirect_error(asio::use_awaitable, ec));
        if (ec)
            co_return;
        co_await serveRequests(stream, address);
        lowest(stream).expires_after(std::chrono::seconds(2));
        co_await stream.async_shutdown(asio::redirect_error(asio::use_awaitable, ec));
    } else {
        beast::tcp_stream stream(std::move(socket));
        co_await serveRequests(stream, address);
        stream.socket().shutdown(tcp::socket::shutdown_send, ec);
    }
}

asio::awaitable<void> HttpServer::Impl::acceptLoop()
{
    for (;;) {
        beast::error_code ec;
        tcp::socket socket = co_await acceptor.async_accept(
            asio::make_strand(io), asio::redirect_error(asio::use_awaitable, ec));
        if (ec == asio::error::operation_aborted || !acceptor.is_open())
            co_return;
        if (ec) {
            // Out of file descriptors, say: wait a moment instead of spinning.
            asio::steady_timer pause(io, std::chrono::milliseconds(50));
            co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, ec));
            continue;
        }
        const auto executor = socket.get_executor();
        asio::co_spawn(executor, serveConnection(std::move(socket)), asio::detached);
    }
}

HttpServer::HttpServer(const RouteTable& routes, asio::thread_pool& blocking,
                       ConnectionLimits limits, bool tls, const std::string& certFile,
                       const std::string& keyFile)
    : impl(std::make_unique<Impl>(routes, blocking, limits))
{
    if (tls) {
        impl->tls.emplace(asio::ssl::context::tls_server);
        impl->tls->set_options(asio::ssl::context::default_workarounds |
                               asio::ssl::context::no_sslv2 | asio::ssl::context::no_sslv3 |
                               asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1);
        impl->tls->use_certificate_chain_file(certFile);
        impl->tls->use_private_key_file(keyFile, asio::ssl::context::pem);
    }
}

HttpServer::~HttpServer() = default;

int HttpServer::bind(const std::string& host, int port)
{
    beast::error_code ec;
    const auto address = asio::ip::make_address(host, ec);
    if (ec)
        throw std::runtime_error("cannot listen on " + host + ": not an IP address");
    const tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
    tcp::acceptor& acceptor = impl->acceptor;
    acceptor.open(endpoint.protocol());
    // SO_REUSEADDR only lets a restart reuse a port in TIME_WAIT; without SO_REUSEPORT a
    // second server on a busy port fails here instead of sharing its connections.
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint, ec);
    if (ec)
        throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port) + ": " +
                                 ec.message());
    acceptor.listen(asio::socket_base::max_listen_connections);
    return acceptor.local_endpoint().port();
}

void HttpServer::run(int threads)
{
    asio::co_spawn(impl->io, impl->acceptLoop(), asio::detached);
    std::vector<std::thread> extra;
    for (int i = 1; i < threads; ++i)
        extra.emplace_back([this] { impl->io.run(); });
    impl->io.run();
    for (auto& thread : extra)
        thread.join();
}

void HttpServer::stop()
{
    impl->stopping = true;
    asio::post(impl->io, [this] {
        beast::error_code ec;
        impl->acceptor.close(ec);
        impl->io.stop();
    });
}

} // namespace kestrune
