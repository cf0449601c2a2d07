// Start-up of the client against a bare Qt Widgets program (startup_bare): each is started
// in turn on the X display, and the time from starting the process to its first window being
// mapped is taken from the display's own notification; the resident memory is read once the
// window has settled. Prints medians and a verdict line per goal. Needs an X display
// (scripts/bench runs it under Xvfb).

#include <xcb/xcb.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace
{

using Clock = std::chrono::steady_clock;
constexpr int runs = 15;

struct Sample {
    double milliseconds = -1;
    double residentMiB = -1;
};

double residentMiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtod(line.c_str() + 6, nullptr) / 1024;
    }
    return -1;
}

// Waits up to `timeout` for a top-level window to be mapped; true when one was.
bool waitForMap(xcb_connection_t* connection, std::chrono::milliseconds timeout)
{
    const auto end = Clock::now() + timeout;
    pollfd fd{xcb_get_file_descriptor(connection), POLLIN, 0};
    while (Clock::now() < end) {
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
            const bool mapped =
                (event->response_type & 0x7f) == XCB_MAP_NOTIFY &&
                !reinterpret_cast<xcb_map_notify_event_t*>(event)->override_redirect;
            std::free(event);
            if (mapped)
                return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        poll(&fd, 1, int(std::max<long>(1, long(left.count()))));
    }
    return false;
}

void drain(xcb_connection_t* connection)
{
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection))
        std::free(event);
}

Sample startOnce(xcb_connection_t* connection, const char* program)
{
    drain(connection);
    char* argv[] = {const_cast<char*>(program), nullptr};
    pid_t pid = 0;
    const auto start = Clock::now();
    if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0)
        return {};
    Sample sample;
    if (waitForMap(connection, std::chrono::seconds(20))) {
        sample.milliseconds =
            std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        // Painted and idle by then: the memory of the window as the user first sees it.
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        sample.residentMiB = residentMiB(pid);
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return sample;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return -1;
    std::nth_element(values.begin(), values.begin() + long(values.size() / 2), values.end());
    return values[values.size() / 2];
}

} // namespace

int main()
{
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        std::printf("start-up: no X display, not measured: NOT met\n");
        return 1;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection);

    // A home of their own: no saved session, so the client shows its sign-in window.
    char home[] = "/tmp/kestrune-startup-XXXXXX";
    if (!mkdtemp(home))
        return 1;
    setenv("HOME", home, 1);
    setenv("XDG_DATA_HOME", (std::string(home) + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (std::string(home) + "/config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (std::string(home) + "/cache").c_str(), 1);
    const std::string runtime = std::string(home) + "/runtime";
    mkdir(runtime.c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("KESTRUNEAI_BASE_URL", "http://127.0.0.1:9", 1);
    unsetenv("QT_QPA_PLATFORM");

    const char* programs[] = {KESTRUNE_CLIENT_PATH, KESTRUNE_BARE_PATH};
    std::vector<double> times[2];
    std::vector<double> memory[2];
    for (int run = -1; run < runs; ++run) { // run -1 warms the file cache, not counted
        for (int which : {run % 2 == 0 ? 0 : 1, run % 2 == 0 ? 1 : 0}) {
            const Sample sample = startOnce(connection, programs[which]);
            if (run < 0 || sample.milliseconds < 0)
                continue;
            times[which].push_back(sample.milliseconds);
            memory[which].push_back(sample.residentMiB);
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    xcb_disconnect(connection);

    const double client = median(times[0]);
    const double bare = median(times[1]);
    const bool measured = times[0].size() == runs && times[1].size() == runs;
    std::printf("start-up to the first window, median of %d alternating runs: client %.1f ms, "
                "bare program %.1f ms: %.2fx (goal: <= 1.2x): %s\n",
                runs, client, bare, client / bare,
                measured && client <= 1.2 * bare ? "met" : "NOT met");
    const double clientMemory = median(memory[0]);
    const double bareMemory = median(memory[1]);
    std::printf("memory at the sign-in window: client %.1f MiB, bare program %.1f MiB resident "
                "(goal: <= bare + 10 MiB): %s\n",
                clientMemory, bareMemory,
                measured && clientMemory <= bareMemory + 10 ? "met" : "NOT met");
    return 0;
}
