#pragma once

#include "clientaddress.h"
#include "http.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace boost::asio
{
class io_context;
class thread_pool;
} // namespace boost::asio

namespace kestrune
{

class RouteTable;

struct ConnectionLimits {
    std::size_t maxHeaderBytes = 16 * 1024;
    std::chrono::milliseconds headerTime{5000}; // the whole request head, once it has begun
    std::chrono::milliseconds bodyTime{10000};  // the whole body
    std::chrono::milliseconds idleTime{30000};  // for the first byte of a request
    std::chrono::milliseconds writeTime{30000}; // a client that stops reading our reply
    std::size_t maxConnections = 1024;
    std::size_t maxConnectionsPerAddress = 64;
};

// How long a stopping server lets running requests finish before it ends every connection,
// and when it stops in any case.
inline constexpr std::chrono::milliseconds shutdownGrace{1500};
inline constexpr std::chrono::milliseconds shutdownLimit{1900};

// The event-driven HTTP server: a few threads serve every connection as a coroutine with
// deadlines, so slow or idle clients cost memory, not threads. Plain routes run on the pool
// for blocking work; stream and async routes run as coroutines of their own.
class HttpServer
{
public:
    HttpServer(const RouteTable& routes, boost::asio::thread_pool& blocking,
               ConnectionLimits limits, TrustedProxies proxies, bool tls,
               const std::string& certFile, const std::string& keyFile);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds the listening socket (port 0: any free port) with the system's largest backlog,
    // without SO_REUSEPORT: a port another server holds is an error. Returns the port, or
    // throws with a message for the operator.
    int bind(const std::string& host, int port);
    // Serves on `threads` threads until stop() has run its course; returns then.
    void run(int threads);
    // Thread-safe. Stops accepting, closes idle connections and interrupts replies waiting on
    // their model at once, lets requests being answered finish for `shutdownGrace`, and returns
    // from run() after `shutdownLimit` at the latest. Work still queued for the pools then
    // completes onto a stopped context, which stays alive until the server is destroyed.
    void stop();
    // Thread-safe. Stops accepting and closes idle connections; requests and replies under way
    // go on, and each connection closes once its answer is out. stop() ends what remains.
    void drain();
    // Connections open now: while draining, those with a request or reply under way.
    std::size_t openConnections() const;

    // The context the connections run on, for background work of the service (model lists).
    boost::asio::io_context& context();

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

} // namespace kestrune
