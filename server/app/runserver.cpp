#include "runserver.h"

#include "console.h"
#include "httpcore.h"
#include "metrics.h"
#include "passwordhashing.h"
#include "replyhold.h"
#include "routes.h"
#include "routetable.h"
#include "security.h"
#include "service.h"

#include <boost/asio/thread_pool.hpp>
#include <prometheus/exposer.h>
#include <prometheus/registry.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <optional>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
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

// Password hashes take a whole core each: half the cores, so that everything else keeps the rest.
std::size_t hashThreads()
{
    return std::max(1u, std::thread::hardware_concurrency() / 2);
}

// Lifts the soft limit on open files to the hard one (each connection is a file) and returns
// the limit in force.
std::uint64_t raiseOpenFileLimit()
{
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0)
        return 1024;
    if (files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max == RLIM_INFINITY ? 1 << 20 : files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
        getrlimit(RLIMIT_NOFILE, &files);
    }
    return files.rlim_cur == RLIM_INFINITY ? 1 << 20 : files.rlim_cur;
}

// Waits up to `time` for another stop signal; true when one came.
bool signalledWithin(const sigset_t& signals, std::chrono::milliseconds time)
{
    const auto end = std::chrono::steady_clock::now() + time;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        const timespec wait{static_cast<time_t>(left.count() / 1000000000),
                            static_cast<long>(left.count() % 1000000000)};
        if (sigtimedwait(&signals, nullptr, &wait) > 0)
            return true;
        if (errno == EAGAIN)
            return false;
    }
}

// Leaves the load balancer's rotation before ending anything: /readyz answers 503 for the
// notice time while requests are still served, then no new connection is taken and the
// requests and replies under way have the grace time to finish, unless a signal cuts it short.
void drainBeforeStopping(Service& service, HttpServer& server, const ServerOptions& options,
                         const sigset_t& signals)
{
    std::cerr << "kestrune-server: draining\n";
    service.draining = true;
    if (signalledWithin(signals, std::chrono::seconds(options.drainNoticeSeconds)))
        return;
    server.drain();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(options.drainSeconds);
    while (server.openConnections() > 0 && std::chrono::steady_clock::now() < end)
        if (signalledWithin(signals, std::chrono::milliseconds(50)))
            return;
}

} // namespace

int runServer(const ServerOptions& options)
{
    initSecurity();
    // The database holds password hashes and the outbox holds codes: owner-only files, also in
    // a data folder that someone else created.
    umask(077);
    std::signal(SIGPIPE, SIG_IGN);
    // A write past the file-size limit fails with an error the request reports, instead of
    // killing the service.
    std::signal(SIGXFSZ, SIG_IGN);
    // SIGINT/SIGTERM are taken by a dedicated thread (sigwait), so every other thread,
    // including those created below, must have them blocked.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    ConnectionLimits limits;
    limits.maxConnections = static_cast<std::size_t>(
        options.maxConnections > 0 ? options.maxConnections
                                   : defaultMaxConnections(raiseOpenFileLimit()));
    limits.maxConnectionsPerAddress = static_cast<std::size_t>(options.maxConnectionsPerAddress);
    limits.idleTime = std::chrono::seconds(options.idleTimeoutSeconds);
    std::string proxyError;
    auto proxies = TrustedProxies::parse(options.trustedProxies, proxyError);
    if (!proxies) {
        std::cerr << "kestrune-server: " << proxyError << "\n";
        return 2;
    }

    Service service(options);
    if (options.demo)
        service.accounts.ensureAccount(demoUsername, demoEmail, demoPassword);

    // Blocking work of ordinary requests, of reply streams and password hashes on pools of
    // their own: a burst of thousands of replies or a flood of sign-ins never queues "/api/me"
    // behind it. Their work completes onto the server's context, which outlives them.
    std::optional<boost::asio::thread_pool> blocking(std::in_place,
                                                     static_cast<std::size_t>(options.workers));
    std::optional<boost::asio::thread_pool> streamWork(std::in_place, 2);
    std::optional<PasswordHashing> hashing(std::in_place, hashThreads());

    ApiContext api = service.api();
    RouteTable routes;
    addServiceRoutes(routes, api, *blocking, *streamWork, *hashing);

    const bool tls = !options.certFile.empty();
    std::unique_ptr<HttpServer> server;
    int port = 0;
    try {
        server = std::make_unique<HttpServer>(routes, *blocking, limits, std::move(*proxies), tls,
                                              options.certFile, options.keyFile);
        port = server->bind(options.listen.host, options.listen.port);
    } catch (const std::exception& e) {
        std::cerr << "kestrune-server: " << e.what() << "\n";
        return 1;
    }

    // Prometheus reads the metrics from a listener of their own, apart from the clients'.
    std::unique_ptr<prometheus::Exposer> metricsExposer;
    if (options.metricsListen) {
        try {
            metricsExposer = std::make_unique<prometheus::Exposer>(
                urlHost(options.metricsListen->host) + ":" +
                    std::to_string(options.metricsListen->port),
                1);
            metricsExposer->RegisterCollectable(metrics::registry());
        } catch (const std::exception& e) {
            std::cerr << "kestrune-server: --metrics-listen: " << e.what() << "\n";
            return 1;
        }
    }

    consoleLine(std::string("kestrune-server listening on ") + (tls ? "https" : "http") + "://" +
                urlHost(options.listen.host) + ":" + std::to_string(port));
    if (metricsExposer)
        consoleLine("metrics on http://" + urlHost(options.metricsListen->host) + ":" +
                    std::to_string(metricsExposer->GetListeningPorts().at(0)) + "/metrics");
    consoleLine("data folder: " + options.dataDir.string() + ", database: " +
                std::string(service.db.engineName()) + ", " + service.mailer->destination());
    if (options.demo)
        consoleLine(std::string("demo account: user name ") + demoUsername + " (e-mail " +
                    demoEmail + "), password " + demoPassword);
    service.models.startRefreshing(server->context());
    startRenewingHolds(service.points.holds, server->context(), *blocking);

    std::atomic<bool> finished{false};
    std::thread signalThread([&] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        if (finished)
            return;
        // SIGTERM drains first; SIGINT, or a second signal while draining, stops at once.
        if (sig == SIGTERM)
            drainBeforeStopping(service, *server, options, stopSignals);
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
    // No connection runs any more. Work not yet started on the pools is dropped, running work
    // finishes; what they drop or finish completes onto the server's context, so the pools go
    // before it.
    hashing->stop();
    blocking->stop();
    streamWork->stop();
    blocking->join();
    streamWork->join();
    hashing.reset();
    blocking.reset();
    streamWork.reset();
    server.reset();
    // Holds whose closing the pools dropped: the other instances need not wait out the lease.
    try {
        service.points.holds.closeAll();
    } catch (const std::exception& e) {
        std::cerr << "error: ending reply holds: " << e.what() << "\n";
    }
    return 0;
}

} // namespace kestrune
