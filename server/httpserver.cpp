#include "httpserver.h"

#include "httpcore.h"
#include "routes.h"
#include "routetable.h"
#include "security.h"
#include "service.h"

#include <boost/asio/thread_pool.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kestrune
{
namespace
{

std::string urlHost(const std::string& host)
{
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

// A few threads serve every connection; two are enough to keep both cores busy here, and
// more than four rarely help before the database does not.
int ioThreads()
{
    return std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 2, 4);
}

} // namespace

int runServer(const ServerOptions& options)
{
    initSecurity();
    // The database holds password hashes and the outbox holds codes: owner-only files, also in
    // a data folder that someone else created.
    umask(077);
    std::signal(SIGPIPE, SIG_IGN);
    // SIGINT/SIGTERM are taken by a dedicated thread (sigwait), so every other thread,
    // including those created below, must have them blocked.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // Blocking work of ordinary requests and of reply streams on pools of their own: a burst
    // of thousands of replies starting never queues a sign-in or "/api/me" behind it.
    boost::asio::thread_pool blocking(static_cast<std::size_t>(options.workers));
    boost::asio::thread_pool streamWork(2);
    Service service(options);
    if (options.demo)
        service.accounts.ensureAccount(demoUsername, demoEmail, demoPassword);

    RouteTable routes;
    addAccountRoutes(routes, service);
    addModelRoutes(routes, service);
    addConversationRoutes(routes, service);
    addChatRoutes(routes, service, streamWork);

    ConnectionLimits limits;
    limits.maxBodyBytes = maxBodyBytes;
    limits.maxConnectionsPerAddress = options.maxConnectionsPerAddress;
    const bool tls = !options.certFile.empty();
    std::unique_ptr<HttpServer> server;
    int port = 0;
    try {
        server = std::make_unique<HttpServer>(routes, blocking, limits, tls, options.certFile,
                                              options.keyFile);
        port = server->bind(options.listen.host, options.listen.port);
    } catch (const std::exception& e) {
        std::cerr << "kestrune-server: " << e.what() << "\n";
        blocking.join();
        streamWork.join();
        return 1;
    }

    consoleLine(std::string("kestrune-server listening on ") + (tls ? "https" : "http") + "://" +
                urlHost(options.listen.host) + ":" + std::to_string(port));
    consoleLine("data folder: " + options.dataDir.string() +
                ", outbox: " + service.outbox.folder().string());
    if (options.demo)
        consoleLine(std::string("demo account: user name ") + demoUsername + " (e-mail " +
                    demoEmail + "), password " + demoPassword);

    std::atomic<bool> finished{false};
    std::thread signalThread([&] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        if (finished)
            return;
        std::cerr << "kestrune-server: stopping\n";
        service.stopping = true;
        server->stop();
    });
    // A starter that cannot signal the service removes a file instead: the same stop.
    std::thread watchThread;
    if (!options.stopWhenMissing.empty()) {
        watchThread = std::thread([&] {
            for (std::error_code error; !finished; error.clear()) {
                if (!std::filesystem::exists(options.stopWhenMissing, error) && !error) {
                    kill(getpid(), SIGTERM);
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
    }

    server->run(ioThreads());
    finished = true;
    pthread_kill(signalThread.native_handle(), SIGTERM);
    signalThread.join();
    if (watchThread.joinable())
        watchThread.join();
    server.reset();
    blocking.join();
    streamWork.join();
    return 0;
}

} // namespace kestrune
