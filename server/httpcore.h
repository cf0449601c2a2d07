#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace boost::asio
{
class thread_pool;
}

namespace kestrune
{

class RouteTable;

struct ConnectionLimits {
    std::size_t maxBodyBytes = 1024 * 1024;
    std::size_t maxHeaderBytes = 16 * 1024;
    std::chrono::milliseconds headerTime{5000}; // the whole request head
    std::chrono::milliseconds bodyTime{10000};  // the whole body
    std::chrono::milliseconds idleTime{30000};  // between requests on a kept-alive connection
    std::chrono::milliseconds writeTime{30000}; // a client that stops reading our reply
    int maxConnectionsPerAddress = 64;
};

// The event-driven HTTP server: a few threads serve every connection as a coroutine with
// deadlines, so slow or idle clients cost memory, not threads. Plain routes run on the pool
// for blocking work; stream routes run as coroutines of their own.
class HttpServer
{
public:
    HttpServer(const RouteTable& routes, boost::asio::thread_pool& blocking,
               ConnectionLimits limits, bool tls, const std::string& certFile,
               const std::string& keyFile);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds the listening socket (port 0: any free port) with the system's largest backlog,
    // without SO_REUSEPORT: a port another server holds is an error. Returns the port, or
    // throws with a message for the operator.
    int bind(const std::string& host, int port);
    // Serves on `threads` threads until stop(); returns then.
    void run(int threads);
    // Thread-safe; open connections are closed.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

} // namespace kestrune
