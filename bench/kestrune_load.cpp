// Load on a running kestrune-server from one event-driven process (every connection a
// coroutine on one thread, so the tool itself leaves the machine's cores to the server):
//
//   kestrune-load streams N PORT TOKEN [SERVER_PID]
//       N private replies of the showcase model at once; meanwhile GET /api/me every 100 ms.
//   kestrune-load login PORT
//       Signs the demo account in and prints its token.
//   kestrune-load slow N SECONDS PORT TOKEN [SERVER_PID]
//       N connections sending one byte of a request head each second for SECONDS (each
//       reconnects when the server cuts it); meanwhile GET /api/me every 100 ms.
//   kestrune-load burst N SECONDS PORT TOKEN [SERVER_PID]
//       N clients each asking for one private showcase reply after another for SECONDS (a
//       client turned away for too many replies at once asks again); meanwhile GET /api/me
//       every 100 ms. The figures add the replies completed per second.
//   kestrune-load flood N SECONDS PORT TOKEN [SERVER_PID]
//       N clients signing in with wrong passwords for SECONDS, each attempt from a loopback
//       address of its own (127.x.y.z) and for a name of its own, so that no guard refuses it
//       before its password is checked; meanwhile GET /api/me every 100 ms.
//
// Prints one line of figures: replies (or sign-ins) done, /api/me median and p99 and slowest
// (ms), answers over 100 ms, and with SERVER_PID the server's peak memory and CPU seconds; then
// a line "figures: done=D failed=F me_p99_ms=P" for scripts. A run stops after five minutes at
// most.

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace
{

struct Run {
    asio::io_context io;
    // The probe of /api/me on a thread of its own: what it measures is the server, not a
    // queue of this tool's own work.
    asio::io_context probeIo;
    tcp::endpoint server;
    std::string token;
    int replies = 0;
    int repliesDone = 0;
    int failures = 0;
    std::atomic<bool> finished{false};
    std::vector<double> meMs;
    int meFailures = 0;
};

std::string streamRequest(const Run& run, int index)
{
    const std::string body = R"({"prompt":"load )" + std::to_string(index) +
                             R"(","mode":"private","model":"kestrune-showcase","history":[]})";
    return "POST /api/chat/stream HTTP/1.1\r\nHost: load\r\nAuthorization: Bearer " + run.token +
           "\r\nContent-Type: application/json\r\nAccept: text/event-stream\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// Reads until the server closes; true when the reply ended with its final event.
asio::awaitable<bool> readReply(tcp::socket& socket, const std::string& needle)
{
    std::string received;
    char buffer[16 * 1024];
    boost::system::error_code ec;
    for (;;) {
        const std::size_t n = co_await socket.async_read_some(
            asio::buffer(buffer), asio::redirect_error(asio::use_awaitable, ec));
        if (ec)
            break;
        received.append(buffer, n);
        if (received.size() > 64 * 1024)
            received.erase(0, received.size() - 1024); // only the end matters
        if (received.find(needle) != std::string::npos)
            co_return true;
    }
    co_return received.find(needle) != std::string::npos;
}

asio::awaitable<void> oneReply(Run& run, int index)
{
    boost::system::error_code ec;
    tcp::socket socket(run.io);
    co_await socket.async_connect(run.server, asio::redirect_error(asio::use_awaitable, ec));
    bool done = false;
    if (!ec) {
        const std::string request = streamRequest(run, index);
        co_await asio::async_write(socket, asio::buffer(request),
                                   asio::redirect_error(asio::use_awaitable, ec));
        if (!ec)
            done = co_await readReply(socket, "event: done");
    }
    ++(done ? run.repliesDone : run.failures);
}

asio::awaitable<void> probeMe(Run& run)
{
    asio::steady_timer pause(run.probeIo);
    const std::string request = "GET /api/me HTTP/1.1\r\nHost: load\r\nAuthorization: Bearer " +
                                run.token + "\r\nConnection: close\r\n\r\n";
    while (!run.finished) {
        const auto start = Clock::now();
        boost::system::error_code ec;
        tcp::socket socket(run.probeIo);
        co_await socket.async_connect(run.server, asio::redirect_error(asio::use_awaitable, ec));
        bool ok = false;
        if (!ec) {
            co_await asio::async_write(socket, asio::buffer(request),
                                       asio::redirect_error(asio::use_awaitable, ec));
            if (!ec)
                ok = co_await readReply(socket, "\"user\"");
        }
        if (ok) {
            run.meMs.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        } else
            ++run.meFailures;
        pause.expires_after(100ms);
        co_await pause.async_wait(asio::use_awaitable);
    }
}

asio::awaitable<void> trickle(Run& run, Clock::time_point until)
{
    asio::steady_timer pause(run.io);
    const std::string head = "GET /api/me HTTP/1.1\r\nHost: load\r\nX-Slow: ";
    while (Clock::now() < until) {
        boost::system::error_code ec;
        tcp::socket socket(run.io);
        co_await socket.async_connect(run.server, asio::redirect_error(asio::use_awaitable, ec));
        for (std::size_t i = 0; !ec && Clock::now() < until; ++i) {
            const char byte = i < head.size() ? head[i] : 'a';
            co_await asio::async_write(socket, asio::buffer(&byte, 1),
                                       asio::redirect_error(asio::use_awaitable, ec));
            pause.expires_after(1s);
            co_await pause.async_wait(asio::use_awaitable);
        }
        pause.expires_after(100ms); // cut off: come back, as such a client would
        co_await pause.async_wait(asio::use_awaitable);
    }
}

// One reply after another until `until`.
asio::awaitable<void> repeatReplies(Run& run, Clock::time_point until, int client)
{
    for (int i = 0; Clock::now() < until; ++i) {
        boost::system::error_code ec;
        tcp::socket socket(run.io);
        co_await socket.async_connect(run.server, asio::redirect_error(asio::use_awaitable, ec));
        bool done = false;
        if (!ec) {
            const std::string request = streamRequest(run, client * 100000 + i);
            co_await asio::async_write(socket, asio::buffer(request),
                                       asio::redirect_error(asio::use_awaitable, ec));
            if (!ec)
                done = co_await readReply(socket, "event: done");
        }
        if (done && Clock::now() <= until)
            ++run.repliesDone;
        else if (!done)
            ++run.failures;
    }
}

// One wrong sign-in after another from fresh addresses until `until`; each answered attempt
// counts as done, whatever its status.
asio::awaitable<void> guess(Run& run, Clock::time_point until, int client)
{
    static unsigned next = 0;
    while (Clock::now() < until) {
        const unsigned n = ++next;
        const auto source =
            asio::ip::make_address_v4((127u << 24) | (1u + ((n * 2654435761u) % 0xfffffeu)));
        boost::system::error_code ec;
        tcp::socket socket(run.io);
        socket.open(tcp::v4(), ec);
        socket.bind(tcp::endpoint(source, 0), ec);
        if (!ec)
            co_await socket.async_connect(run.server,
                                          asio::redirect_error(asio::use_awaitable, ec));
        bool answered = false;
        if (!ec) {
            const std::string body = R"({"login":"nobody_)" + std::to_string(client) + "_" +
                                     std::to_string(n) + R"(","password":"wrong guess"})";
            const std::string request =
                "POST /api/auth/login HTTP/1.1\r\nHost: load\r\nContent-Type: "
                "application/json\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
            co_await asio::async_write(socket, asio::buffer(request),
                                       asio::redirect_error(asio::use_awaitable, ec));
            if (!ec)
                answered = co_await readReply(socket, "\"error\"");
        }
        ++(answered ? run.repliesDone : run.failures);
    }
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

// A memory figure of /proc/PID/status ("VmHWM", "VmRSS") in MiB, or -1.
double memoryMiB(int pid, const std::string& key)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key + ":", 0) == 0)
            return std::stod(line.substr(key.size() + 1)) / 1024.0;
    return -1;
}

// Peak resident memory (MiB) and CPU seconds of a process, from /proc.
void serverFigures(int pid, double& peakMiB, double& cpuSeconds)
{
    peakMiB = memoryMiB(pid, "VmHWM");
    cpuSeconds = -1;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; fields >> field && i <= 15; ++i)
        if (i == 14 || i == 15)
            ticks += std::stol(field);
    cpuSeconds = static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

} // namespace

// Signs in as the demo account: the token, or empty.
std::string demoToken(unsigned short port)
{
    asio::io_context io;
    tcp::socket socket(io);
    boost::system::error_code ec;
    socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port), ec);
    const std::string body = R"({"login":"demo","password":"demo-password-2026"})";
    const std::string request = "POST /api/auth/login HTTP/1.1\r\nHost: load\r\n"
                                "Content-Type: application/json\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
                                body;
    asio::write(socket, asio::buffer(request), ec);
    std::string reply;
    char buffer[4096];
    while (!ec)
        reply.append(buffer, socket.read_some(asio::buffer(buffer), ec));
    const auto at = reply.find("\"token\":\"");
    if (at == std::string::npos)
        return {};
    const auto start = at + 9;
    return reply.substr(start, reply.find('"', start) - start);
}

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "login" && argc > 2) {
        const std::string token = demoToken(static_cast<unsigned short>(std::stoi(argv[2])));
        std::printf("%s\n", token.c_str());
        return token.empty() ? 1 : 0;
    }
    const bool flood = mode == "flood";
    const bool burst = mode == "burst";
    const bool slow = mode == "slow" || flood || burst; // they run for SECONDS
    if ((mode != "streams" && !slow) || argc < (slow ? 6 : 5)) {
        std::fprintf(stderr, "usage: kestrune-load streams N PORT TOKEN [PID]\n"
                             "       kestrune-load slow N SECONDS PORT TOKEN [PID]\n"
                             "       kestrune-load flood N SECONDS PORT TOKEN [PID]\n"
                             "       kestrune-load burst N SECONDS PORT TOKEN [PID]\n");
        return 2;
    }
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);

    Run run;
    const int count = std::stoi(argv[2]);
    const int first = slow ? 4 : 3;
    run.server = tcp::endpoint(asio::ip::make_address("127.0.0.1"),
                               static_cast<unsigned short>(std::stoi(argv[first])));
    run.token = argv[first + 1];
    const int pid = argc > first + 2 ? std::stoi(argv[first + 2]) : 0;
    const double idleMiB = pid > 0 ? memoryMiB(pid, "VmRSS") : -1;
    const auto start = Clock::now();

    asio::co_spawn(run.probeIo, probeMe(run), asio::detached);
    std::thread prober([&run] { run.probeIo.run(); });
    asio::steady_timer end(run.io);
    if (slow) {
        const auto until = start + std::chrono::seconds(std::stoi(argv[3]));
        for (int i = 0; i < count; ++i) {
            if (flood)
                asio::co_spawn(run.io, guess(run, until, i), asio::detached);
            else if (burst)
                asio::co_spawn(run.io, repeatReplies(run, until, i), asio::detached);
            else
                asio::co_spawn(run.io, trickle(run, until), asio::detached);
        }
        end.expires_at(until);
        end.async_wait([&](auto) { run.finished = true; });
    } else {
        for (int i = 0; i < count; ++i)
            asio::co_spawn(run.io, oneReply(run, i), [&](std::exception_ptr) {
                if (++run.replies == count)
                    run.finished = true;
            });
    }
    // A server that cannot keep up is measured as it is, not waited for without end.
    asio::steady_timer limit(run.io, std::chrono::seconds(300));
    limit.async_wait([&](boost::system::error_code ec) {
        if (!ec)
            run.io.stop();
    });
    asio::co_spawn(
        run.io,
        [&]() -> asio::awaitable<void> {
            asio::steady_timer poll(run.io);
            while (!run.finished) {
                poll.expires_after(200ms);
                co_await poll.async_wait(asio::use_awaitable);
            }
            limit.cancel();
        },
        asio::detached);
    run.io.run();
    run.finished = true;
    prober.join();

    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const auto over100 =
        std::count_if(run.meMs.begin(), run.meMs.end(), [](double ms) { return ms > 100; });
    double peakMiB = -1, cpu = -1;
    if (pid > 0)
        serverFigures(pid, peakMiB, cpu);
    std::printf("%s %d: %.1f s%s; replies done %d, failed %d; /api/me answers %zu (failed %d) "
                "median %.1f ms, p99 %.1f ms, slowest %.1f ms, over 100 ms %ld; "
                "server peak %.1f MiB (%.1f KiB per connection over its %.1f MiB before), "
                "CPU %.1f s\n",
                mode.c_str(), count, seconds, run.finished ? "" : " (stopped at the limit)",
                run.repliesDone, run.failures, run.meMs.size(), run.meFailures,
                percentile(run.meMs, 0.5), percentile(run.meMs, 0.99), percentile(run.meMs, 1.0),
                static_cast<long>(over100), peakMiB,
                count > 0 ? (peakMiB - idleMiB) * 1024.0 / count : 0.0, idleMiB, cpu);
    std::printf("figures: done=%d failed=%d me_p99_ms=%.1f me_failed=%d per_second=%.1f\n",
                run.repliesDone, run.failures, percentile(run.meMs, 0.99), run.meFailures,
                run.repliesDone / (burst ? std::stod(argv[3]) : seconds));
    return 0;
}
