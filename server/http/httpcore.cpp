#include "httpcore.h"

#include "blocking.h"
#include "clock.h"
#include "connections.h"
#include "metrics.h"
#include "responses.h"
#include "routetable.h"
#include "streamroute.h"
#include "text.h"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <thread>
#include <type_traits>

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

std::string HttpRequest::queryValue(std::string_view name) const
{
    const auto hex = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    const auto decoded = [&hex](std::string_view text) {
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '+') {
                out.push_back(' ');
            } else if (text[i] == '%' && i + 2 < text.size() + 0 && hex(text[i + 1]) >= 0 &&
                       hex(text[i + 2]) >= 0) {
                out.push_back(static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2])));
                i += 2;
            } else {
                out.push_back(text[i]);
            }
        }
        return out;
    };
    std::string_view rest = query;
    while (!rest.empty()) {
        const std::size_t end = rest.find('&');
        const std::string_view pair = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        const std::size_t equals = pair.find('=');
        if (decoded(pair.substr(0, equals)) == name)
            return equals == std::string_view::npos ? std::string()
                                                    : decoded(pair.substr(equals + 1));
    }
    return {};
}

namespace
{

const char* const tooManyFromAddress = "同一地址的连接过多，请稍后再试。";
const char* const tooManyConnections = "服务器连接数已满，请稍后再试。";

HttpResponse answer(const RouteTable& routes, const PlainHandler& handler,
                    const HttpRequest& request)
{
    try {
        return handler(request);
    } catch (const std::exception& e) {
        return routes.failureReply(e, request);
    }
}

// One line per request on stderr: time, client, method, path, status, duration. Never the
// query, headers or body, so no password, code or token can end up in the log. The metrics
// count it by route pattern ("unmatched" when none), which keeps their labels few.
void logRequest(const std::string& address, const std::string& method, const std::string& path,
                int status, std::chrono::steady_clock::time_point start,
                std::string_view route = "unmatched")
{
    const auto took = std::chrono::steady_clock::now() - start;
    metrics::requestServed(route, status, took);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
    const std::string line = isoTime(nowMs()) + " " + address + " " + printable(method, 16) + " " +
                             printable(path) + " " + std::to_string(status) + " " +
                             std::to_string(elapsed) + "ms\n";
    std::fputs(line.c_str(), stderr);
}

template <class Stream> auto& lowest(Stream& stream)
{
    return beast::get_lowest_layer(stream);
}

// One connection's state as the registry and a stopping server see it. The registry reaches
// it by posting to the connection's strand, where the signal is emitted; the flags are also
// set by a reply running on the threads for replies, hence atomic.
class Connection : public ConnectionHandle, public std::enable_shared_from_this<Connection>
{
public:
    explicit Connection(asio::any_io_executor strand) : strand(std::move(strand)) {}

    void closeIfIdle() override
    {
        asio::post(strand, [self = shared_from_this()] {
            if (self->idle)
                self->interrupt();
        });
    }

    void shutDown(bool force) override
    {
        asio::post(strand, [self = shared_from_this(), force] {
            if (force || self->idle || self->interruptible)
                self->interrupt();
        });
    }

    // Aborts the operation the connection's coroutine awaits.
    void interrupt() { signal.emit(asio::cancellation_type::terminal); }

    asio::any_io_executor strand;
    asio::cancellation_signal signal;
    std::atomic<bool> idle{false};          // waiting for the first byte of a request
    std::atomic<bool> interruptible{false}; // reading a request, or a reply waiting on its model
};

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
    ChunkedStream(Stream& stream, Connection& connection, unsigned version,
                  std::chrono::milliseconds writeTime)
        : stream(stream), connection(connection), version(version), writeTime(writeTime)
    {
    }

    asio::awaitable<void> start(int code, std::string contentType,
                                std::vector<std::pair<std::string, std::string>> headers) override
    {
        status = code;
        started = true;
        http::response<http::empty_body> head{http::int_to_status(code), version};
        head.set(http::field::content_type, contentType);
        for (const auto& [name, value] : headers)
            head.set(name, value);
        if (version >= 11)
            head.chunked(true);
        else
            head.keep_alive(false);
        http::response_serializer<http::empty_body> serializer(head);
        serializer.split(true);
        connection.interruptible = false;
        lowest(stream).expires_after(writeTime);
        beast::error_code ec;
        co_await http::async_write_header(stream, serializer,
                                          asio::redirect_error(asio::use_awaitable, ec));
        broken = bool(ec);
    }

    asio::awaitable<bool> write(std::string data) override
    {
        if (broken)
            co_return false;
        if (data.empty())
            co_return true;
        if (version < 11)
            co_return co_await send(asio::buffer(data));
        co_return co_await send(http::make_chunk(asio::buffer(data)));
    }

    asio::awaitable<void> finish() override
    {
        if (version >= 11)
            co_await send(http::make_chunk_last());
        finished = !broken;
    }

    void waitingOnModel(bool waiting) override
    {
        waitingForModel = waiting;
        connection.interruptible = waiting;
    }

    // A client that stops reading must not hold a reply for ever, but a timer armed and
    // cancelled for every fragment costs as much as the fragment. So one timer per reply, on
    // the reply's strand, looks every second whether a write has taken longer than its time.
    // Starts on the reply's strand; stopWatching() there before the reply's coroutine ends.
    asio::awaitable<void> watchWrites()
    {
        watch = std::make_shared<WriteWatch>(co_await asio::this_coro::executor, writeTime);
        watch->abort = [this] {
            beast::error_code ignored;
            lowest(stream).socket().cancel(ignored);
        };
        WriteWatch::arm(watch);
    }

    void stopWatching()
    {
        if (!watch)
            return;
        watch->abort = nullptr;
        watch->timer.cancel();
    }

    bool started = false;
    bool finished = false;
    int status = 0;

private:
    struct WriteWatch {
        WriteWatch(asio::any_io_executor strand, std::chrono::milliseconds limit)
            : timer(std::move(strand)), limit(limit)
        {
        }

        static void arm(const std::shared_ptr<WriteWatch>& watch)
        {
            watch->timer.expires_after(std::chrono::seconds(1));
            watch->timer.async_wait([watch](beast::error_code ec) {
                if (ec || !watch->abort)
                    return;
                if (watch->writing &&
                    std::chrono::steady_clock::now() - watch->since > watch->limit)
                    watch->abort();
                arm(watch);
            });
        }

        asio::steady_timer timer;
        std::chrono::milliseconds limit;
        std::function<void()> abort; // empty once the reply is over
        bool writing = false;
        std::chrono::steady_clock::time_point since;
    };

    template <class Buffers> asio::awaitable<bool> send(Buffers buffers)
    {
        if (broken)
            co_return false;
        // A write is never interrupted by a stopping server: half an event would garble it.
        connection.interruptible = false;
        if (watch) {
            lowest(stream).expires_never();
            watch->writing = true;
            watch->since = std::chrono::steady_clock::now();
        } else {
            lowest(stream).expires_after(writeTime);
        }
        beast::error_code ec;
        co_await asio::async_write(stream, buffers, asio::redirect_error(asio::use_awaitable, ec));
        if (watch)
            watch->writing = false;
        connection.interruptible = waitingForModel;
        broken = bool(ec);
        co_return !broken;
    }

    Stream& stream;
    Connection& connection;
    unsigned version;
    std::chrono::milliseconds writeTime;
    bool broken = false;
    bool waitingForModel = false;
    std::shared_ptr<WriteWatch> watch;
};

// The longest queue of connections waiting to be accepted the system grants one socket.
std::size_t systemBacklog()
{
    std::ifstream limit("/proc/sys/net/core/somaxconn");
    std::size_t value = 0;
    return limit >> value ? value : 4096;
}

// A streamed reply as a coroutine of its own. As on the connection, a cancellation aborts only
// the operation under way: the reply still says how it ended.
template <class Stream>
asio::awaitable<void> serveReply(std::shared_ptr<StreamRoute> route, HttpRequest request,
                                 ChunkedStream<Stream>& out)
{
    co_await asio::this_coro::throw_if_cancelled(false);
    co_await out.watchWrites();
    try {
        co_await route->serve(std::move(request), out);
    } catch (...) {
        out.stopWatching();
        throw;
    }
    out.stopWatching();
}

bool isInterruption(const std::exception& e)
{
    const auto* error = dynamic_cast<const boost::system::system_error*>(&e);
    return error && error->code() == asio::error::operation_aborted;
}

// Every value of the header, for one that may be sent several times.
std::string joinedHeader(const http::request<http::string_body>& message, std::string_view name)
{
    std::string joined;
    for (auto [it, end] = message.equal_range(name); it != end; ++it) {
        if (!joined.empty())
            joined += ',';
        joined.append(it->value());
    }
    return joined;
}

} // namespace

struct HttpServer::Impl {
    Impl(const RouteTable& routes, asio::thread_pool& blocking, ConnectionLimits limits,
         TrustedProxies proxies)
        : routes(routes), blocking(blocking), limits(limits), proxies(std::move(proxies)),
          registry(limits.maxConnections, limits.maxConnectionsPerAddress)
    {
    }

    template <class Stream>
    asio::awaitable<void> serveRequests(Stream& stream, Connection& connection,
                                        ConnectionRegistry::Id id, const std::string& peer);
    template <class Stream>
    asio::awaitable<bool> waitForRequest(Stream& stream, beast::flat_buffer& buffer,
                                         Connection& connection, ConnectionRegistry::Id id);
    asio::awaitable<void> serveConnection(tcp::socket socket, std::shared_ptr<Connection> self);
    asio::awaitable<void> acceptLoop(tcp::acceptor& acceptor);
    void stopAccepting();
    asio::awaitable<void> shutDown();

    const RouteTable& routes;
    asio::thread_pool& blocking;
    ConnectionLimits limits;
    TrustedProxies proxies;
    ConnectionRegistry registry;
    std::atomic<bool> stopping{false};
    std::atomic<bool> draining{false};
    std::optional<asio::ssl::context> tls;
    // Last, so that they go first: the connections they still hold use everything above.
    asio::io_context io;
    // Listening sockets sharing the port, each with a backlog of its own; their accepts and
    // their closing run on one strand.
    asio::strand<asio::io_context::executor_type> acceptStrand{asio::make_strand(io)};
    std::vector<tcp::acceptor> acceptors;
    // Streamed replies run here, on threads of their own; it goes before the connections'
    // context, whose sockets the replies' coroutines still hold.
    asio::io_context replies;
};

// Waits, up to the idle time, for the first byte of the next request; the connection holds
// no buffer meanwhile. False when the connection should end instead.
template <class Stream>
asio::awaitable<bool> HttpServer::Impl::waitForRequest(Stream& stream, beast::flat_buffer& buffer,
                                                       Connection& connection,
                                                       ConnectionRegistry::Id id)
{
    if (buffer.size() > 0)
        co_return true; // the next request has already arrived with the last one
    buffer.shrink_to_fit();
    if (stopping || draining || !registry.setIdle(id, true))
        co_return false;
    connection.idle = true;
    lowest(stream).expires_after(limits.idleTime);
    beast::error_code ec;
    const std::size_t n = co_await stream.async_read_some(
        buffer.prepare(1), asio::redirect_error(asio::use_awaitable, ec));
    connection.idle = false;
    registry.setIdle(id, false);
    if (ec)
        co_return false;
    buffer.commit(n);
    co_return true;
}

template <class Stream>
asio::awaitable<void> HttpServer::Impl::serveRequests(Stream& stream, Connection& connection,
                                                      ConnectionRegistry::Id id,
                                                      const std::string& peer)
{
    beast::flat_buffer buffer;
    for (;;) {
        if (!co_await waitForRequest(stream, buffer, connection, id))
            co_return;
        connection.interruptible = true; // a request half read is dropped by a stopping server
        beast::error_code ec;
        http::request_parser<http::string_body> parser;
        parser.header_limit(static_cast<std::uint32_t>(limits.maxHeaderBytes));
        parser.body_limit(maxBodyBytes);
        lowest(stream).expires_after(limits.headerTime);
        co_await http::async_read_header(stream, buffer, parser,
                                         asio::redirect_error(asio::use_awaitable, ec));
        const auto start = std::chrono::steady_clock::now();
        if (ec) {
            connection.interruptible = false;
            // A declared length over the limit is refused here, before a byte of the body.
            const int refused =
                ec == http::error::header_limit                                            ? 431
                : ec == http::error::body_limit                                            ? 413
                : ec == beast::error::timeout                                              ? 408
                : ec == http::error::end_of_stream || ec == asio::error::operation_aborted ? 0
                                                                                           : 400;
            if (refused) {
                co_await writeResponse(stream, errorResponse(refused, defaultErrorText(refused)),
                                       11, false, limits.writeTime);
                co_await closeGently(stream);
            }
            co_return;
        }
        const unsigned version = parser.get().version();
        const std::string address =
            proxies.clientAddress(peer, joinedHeader(parser.get(), "X-Forwarded-For"));
        // A body whose length cannot be known for sure (a coding other than chunked, or a
        // length beside one) is refused, and the connection with it: what follows cannot be
        // told apart from a next request.
        const auto& head = parser.get();
        if (head.count(http::field::transfer_encoding) > 0 &&
            (!parser.chunked() || head.count(http::field::content_length) > 0)) {
            connection.interruptible = false;
            co_await writeResponse(stream, errorResponse(400, defaultErrorText(400)), version,
                                   false, limits.writeTime);
            logRequest(address, std::string(head.method_string()), std::string(head.target()), 400,
                       start);
            co_await closeGently(stream);
            co_return;
        }
        // A declared body over the limit is refused before a byte of it is read.
        if (const auto length = parser.content_length(); length && *length > maxBodyBytes) {
            connection.interruptible = false;
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
                                : ec == asio::error::operation_aborted   ? 0
                                : ec && ec != http::error::end_of_stream ? 400
                                                                         : 0;
            if (ec) {
                connection.interruptible = false;
                if (refused) {
                    co_await writeResponse(stream,
                                           errorResponse(refused, defaultErrorText(refused)),
                                           version, false, limits.writeTime);
                    co_await closeGently(stream);
                }
                co_return;
            }
        }
        connection.interruptible = false;

        auto message = parser.release();
        HttpRequest request;
        request.method = std::string(message.method_string());
        const std::string_view target = message.target();
        const std::size_t question = target.find('?');
        request.path = std::string(target.substr(0, question));
        if (question != std::string_view::npos)
            request.query = std::string(target.substr(question + 1));
        for (const auto& field : message)
            request.headers.emplace_back(asciiLower(std::string(field.name_string())),
                                         std::string(field.value()));
        request.body = std::move(message.body());
        request.clientAddress = address;
        bool keepAlive = message.keep_alive() && !stopping && !draining;

        const RouteTable::Match match = routes.find(request.method, request.path);
        int status = 0;
        std::optional<HttpResponse> response;
        if (message.method() == http::verb::unknown) {
            // Not a method of HTTP at all: a malformed request, whatever the path.
            response = errorResponse(400, defaultErrorText(400));
            keepAlive = false;
        } else if (!match.handler) {
            response = errorResponse(match.status, defaultErrorText(match.status));
            if (match.status == 405)
                response->headers.emplace_back("Allow", match.allow);
        } else if (const auto* plain = std::get_if<PlainHandler>(match.handler)) {
            request.params = match.params;
            response =
                co_await runBlocking(blocking, [&] { return answer(routes, *plain, request); });
        } else if (const auto* async = std::get_if<std::shared_ptr<AsyncRoute>>(match.handler)) {
            request.params = match.params;
            try {
                response = co_await (*async)->answer(request);
            } catch (const std::exception& e) {
                if (isInterruption(e))
                    co_return;
                response = routes.failureReply(e, request);
            }
        } else {
            request.params = match.params;
            const auto route = std::get<std::shared_ptr<StreamRoute>>(*match.handler);
            ChunkedStream<Stream> out(stream, connection, version, limits.writeTime);
            std::optional<HttpResponse> refusal;
            try {
                // On the threads for replies: thousands of them streaming at once never queue
                // an ordinary request behind their fragments. The connection waits meanwhile;
                // a cancellation of it reaches the reply there.
                co_await asio::co_spawn(asio::make_strand(replies), serveReply(route, request, out),
                                        asio::use_awaitable);
            } catch (const std::exception& e) {
                if (!isInterruption(e))
                    refusal = routes.failureReply(e, request);
            }
            connection.interruptible = false;
            if (refusal && !out.started) {
                response = std::move(refusal);
            } else {
                status = out.status;
                keepAlive = keepAlive && out.finished && version >= 11;
            }
        }
        if (response) {
            status = response->status;
            keepAlive =
                co_await writeResponse(stream, *response, version, keepAlive, limits.writeTime) &&
                keepAlive;
        }
        logRequest(address, request.method, request.path, status, start,
                   match.handler ? match.pattern : "unmatched");
        if (!keepAlive || stopping || draining)
            co_return;
    }
}

asio::awaitable<void> HttpServer::Impl::serveConnection(tcp::socket socket,
                                                        std::shared_ptr<Connection> self)
{
    // Cancellation (an idle connection closed to make room, a stopping server) aborts only the
    // operation under way; every step after it sees an error code, not an exception.
    co_await asio::this_coro::throw_if_cancelled(false);
    beast::error_code ec;
    const auto endpoint = socket.remote_endpoint(ec);
    if (ec)
        co_return;
    const std::string rawPeer = endpoint.address().to_string();
    const auto parsedPeer = parseIpAddress(rawPeer);
    const std::string peer = parsedPeer ? parsedPeer->text : rawPeer;
    const bool capped = !proxies.contains(peer);
    auto admission = registry.admit(peer, capped, self);
    for (const auto& connection : admission.toClose)
        connection->closeIfIdle();
    if (admission.id == 0) {
        // Told at once and closed: one client cannot take every connection there is.
        beast::tcp_stream refused(std::move(socket));
        co_await writeResponse(
            refused,
            errorResponse(503, admission.addressFull ? tooManyFromAddress : tooManyConnections), 11,
            false, std::chrono::seconds(2));
        co_return;
    }
    metrics::connectionOpened();
    struct Release {
        ConnectionRegistry& registry;
        ConnectionRegistry::Id id;
        ~Release()
        {
            registry.remove(id);
            metrics::connectionClosed();
        }
    } release{registry, admission.id};

    try {
        if (tls) {
            beast::ssl_stream<beast::tcp_stream> stream(std::move(socket), *tls);
            lowest(stream).expires_after(limits.headerTime);
            self->interruptible = true;
            co_await stream.async_handshake(asio::ssl::stream_base::server,
                                            asio::redirect_error(asio::use_awaitable, ec));
            self->interruptible = false;
            if (ec)
                co_return;
            co_await serveRequests(stream, *self, admission.id, peer);
            lowest(stream).expires_after(std::chrono::seconds(2));
            co_await stream.async_shutdown(asio::redirect_error(asio::use_awaitable, ec));
        } else {
            beast::tcp_stream stream(std::move(socket));
            co_await serveRequests(stream, *self, admission.id, peer);
            stream.socket().shutdown(tcp::socket::shutdown_send, ec);
        }
    } catch (const std::exception& e) {
        std::cerr << "error: connection from " << peer << ": " << e.what() << "\n";
    }
}

asio::awaitable<void> HttpServer::Impl::acceptLoop(tcp::acceptor& acceptor)
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
        auto connection = std::make_shared<Connection>(executor);
        auto slot = connection->signal.slot();
        asio::co_spawn(executor, serveConnection(std::move(socket), std::move(connection)),
                       asio::bind_cancellation_slot(slot, asio::detached));
    }
}

void HttpServer::Impl::stopAccepting()
{
    asio::post(acceptStrand, [this] {
        beast::error_code ec;
        for (auto& acceptor : acceptors)
            acceptor.close(ec);
    });
}

asio::awaitable<void> HttpServer::Impl::shutDown()
{
    stopAccepting();
    for (const auto& connection : registry.all())
        connection->shutDown(false);
    const auto begun = std::chrono::steady_clock::now();
    asio::steady_timer tick(io);
    beast::error_code ec;
    bool forced = false;
    while (registry.size() > 0) {
        const auto elapsed = std::chrono::steady_clock::now() - begun;
        if (elapsed >= shutdownLimit)
            break;
        if (!forced && elapsed >= shutdownGrace) {
            forced = true;
            for (const auto& connection : registry.all())
                connection->shutDown(true);
        }
        tick.expires_after(std::chrono::milliseconds(20));
        co_await tick.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }
    io.stop();
}

HttpServer::HttpServer(const RouteTable& routes, asio::thread_pool& blocking,
                       ConnectionLimits limits, TrustedProxies proxies, bool tls,
                       const std::string& certFile, const std::string& keyFile)
    : impl(std::make_unique<Impl>(routes, blocking, limits, std::move(proxies)))
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
    auto cannotListen = [&](int onPort) {
        return std::runtime_error("cannot listen on " + host + ":" + std::to_string(onPort) + ": " +
                                  ec.message());
    };
    // First a socket as any other server's: a port someone else holds is an error, never a
    // port shared with them. SO_REUSEADDR only lets a restart reuse a port in TIME_WAIT.
    tcp::acceptor claim(impl->io);
    claim.open(address.is_v6() ? tcp::v6() : tcp::v4());
    claim.set_option(tcp::acceptor::reuse_address(true));
    claim.bind(tcp::endpoint(address, static_cast<unsigned short>(port)), ec);
    if (ec)
        throw cannotListen(port);
    const tcp::endpoint endpoint = claim.local_endpoint();
    claim.close();
    // Then the listening sockets, sharing the port among themselves only. The system's backlog
    // of waiting connections is per socket (a few thousand): enough of them that a burst of
    // connections up to the cap waits to be accepted instead of being dropped, which would
    // make every client, the quick ones too, wait a second or more to connect again.
    const std::size_t backlog = std::max<std::size_t>(systemBacklog(), 128);
    const std::size_t count =
        std::clamp<std::size_t>((impl->limits.maxConnections + backlog - 1) / backlog, 1, 16);
    for (std::size_t i = 0; i < count; ++i) {
        tcp::acceptor& acceptor = impl->acceptors.emplace_back(impl->acceptStrand);
        acceptor.open(endpoint.protocol());
        acceptor.set_option(tcp::acceptor::reuse_address(true));
        acceptor.set_option(asio::detail::socket_option::boolean<SOL_SOCKET, SO_REUSEPORT>(true));
        acceptor.bind(endpoint, ec);
        if (ec)
            throw cannotListen(endpoint.port());
        acceptor.listen(asio::socket_base::max_listen_connections);
    }
    return endpoint.port();
}

void HttpServer::run(int threads)
{
    for (auto& acceptor : impl->acceptors)
        asio::co_spawn(impl->acceptStrand, impl->acceptLoop(acceptor), asio::detached);
    auto repliesWork = asio::make_work_guard(impl->replies);
    std::vector<std::thread> extra;
    for (int i = 0; i < threads; ++i)
        extra.emplace_back([this] { impl->replies.run(); });
    for (int i = 1; i < threads; ++i)
        extra.emplace_back([this] { impl->io.run(); });
    impl->io.run();
    impl->replies.stop();
    for (auto& thread : extra)
        thread.join();
}

void HttpServer::stop()
{
    if (impl->stopping.exchange(true))
        return;
    asio::co_spawn(impl->io, impl->shutDown(), asio::detached);
}

void HttpServer::drain()
{
    if (impl->draining.exchange(true))
        return;
    impl->stopAccepting();
    for (const auto& connection : impl->registry.all())
        connection->closeIfIdle();
}

std::size_t HttpServer::openConnections() const
{
    return impl->registry.size();
}

asio::io_context& HttpServer::context()
{
    return impl->io;
}

} // namespace kestrune
