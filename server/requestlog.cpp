#include "requestlog.h"

#include "storage.h"
#include "text.h"

#include <chrono>
#include <cstdio>
#include <optional>

namespace kestrune
{
namespace
{

// A connection is served by one worker thread from its headers to the last byte of the reply,
// so the start time can live in the thread.
thread_local std::optional<std::chrono::steady_clock::time_point> requestStart;

} // namespace

void markRequestStart()
{
    requestStart = std::chrono::steady_clock::now();
}

void logRequest(const httplib::Request& req, const httplib::Response& res)
{
    std::string duration = "-";
    if (requestStart) {
        const auto elapsed = std::chrono::steady_clock::now() - *requestStart;
        duration =
            std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()) +
            "ms";
        requestStart.reset();
    }
    const std::string line = isoTime(nowMs()) + " " + req.remote_addr + " " +
                             printable(req.method, 16) + " " + printable(req.path) + " " +
                             std::to_string(res.status) + " " + duration + "\n";
    std::fputs(line.c_str(), stderr);
}

} // namespace kestrune
