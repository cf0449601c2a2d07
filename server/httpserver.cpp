#include "httpserver.h"

#include "requestlog.h"
#include "routes.h"
#include "security.h"
#include "service.h"

#include <httplib.h>

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

std::string defaultErrorText(int status)
{
    switch (status) {
    case 400:
        return "请求格式不正确。";
    case 404:
        return "请求的接口不存在。";
    case 405:
        return "该接口不支持此请求方法。";
    case 413:
        return "请求内容过大，上限为 1 MiB。";
    case 414:
        return "请求地址过长。";
    default:
        return status >= 500 ? "服务器内部错误，请稍后再试。" : "请求无法处理。";
    }
}

void configure(httplib::Server& server, Service& service)
{
    const auto workers = static_cast<std::size_t>(service.options.workers);
    server.new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
    server.set_payload_max_length(maxBodyBytes);
    server.set_read_timeout(10);
    server.set_write_timeout(10);

    server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response&) {
        markRequestStart();
        // A request without Content-Length or Transfer-Encoding has no body, but the library
        // would wait for the connection to close before routing a POST, PATCH or DELETE
        // without one. The request object is not const where it lives, so this is safe.
        if (!req.has_header("Content-Length") && !req.has_header("Transfer-Encoding"))
            const_cast<httplib::Request&>(req).set_header("Content-Length", "0");
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.set_logger(logRequest);

    // Runs for every status >= 400; fills in a JSON text only where no handler wrote one
    // (unknown paths, methods, oversized or unparsable requests).
    server.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request& req, httplib::Response& res) {
            if (!res.body.empty())
                return httplib::Server::HandlerResponse::Unhandled;
            if (res.status == 404 && isKnownPath(req.path)) {
                res.status = 405;
                res.set_header("Allow", req.path.starts_with("/api/conversations/")
                                            ? "GET, PATCH, DELETE"
                                            : "GET, POST");
            }
            sendError(res, res.status, defaultErrorText(res.status));
            return httplib::Server::HandlerResponse::Handled;
        }));
    server.set_exception_handler(
        [](const httplib::Request& req, httplib::Response& res, std::exception_ptr ep) {
            try {
                std::rethrow_exception(ep);
            } catch (const std::exception& e) {
                std::cerr << "error: " << req.method << " " << req.path << ": " << e.what() << "\n";
            } catch (...) {
                std::cerr << "error: " << req.method << " " << req.path << ": unknown\n";
            }
            sendError(res, 500, defaultErrorText(500));
        });

    addAccountRoutes(server, service);
    addConversationRoutes(server, service);
    addChatRoutes(server, service);
}

std::string urlHost(const std::string& host)
{
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
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
    // including the workers created below, must have them blocked.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    Service service(options);
    if (options.demo)
        service.accounts.ensureAccount(demoUsername, demoEmail, demoPassword);

    const bool tls = !options.certFile.empty();
    std::unique_ptr<httplib::Server> server;
    if (tls)
        server =
            std::make_unique<httplib::SSLServer>(options.certFile.c_str(), options.keyFile.c_str());
    else
        server = std::make_unique<httplib::Server>();
    if (!server->is_valid()) {
        std::cerr << "kestrune-server: cannot use certificate " << options.certFile << " and key "
                  << options.keyFile << "\n";
        return 1;
    }
    configure(*server, service);

    int port = options.listen.port;
    if (port == 0)
        port = server->bind_to_any_port(options.listen.host);
    else if (!server->bind_to_port(options.listen.host, port))
        port = -1;
    if (port <= 0) {
        std::cerr << "kestrune-server: cannot listen on " << options.listen.host << ":"
                  << options.listen.port << "\n";
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

    const bool ok = server->listen_after_bind();
    finished = true;
    pthread_kill(signalThread.native_handle(), SIGTERM);
    signalThread.join();
    if (watchThread.joinable())
        watchThread.join();
    return ok || service.stopping ? 0 : 1;
}

} // namespace kestrune
