#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace kestrune
{

// Counts failed sign-ins per login name. After `maxFailures` failures within `window` the name
// is refused until the window has passed, whatever password is tried.
class LoginThrottle
{
public:
    using Clock = std::chrono::steady_clock;

    explicit LoginThrottle(std::size_t maxFailures = 5,
                           std::chrono::seconds window = std::chrono::minutes(15))
        : maxFailures(maxFailures), window(window)
    {
    }

    bool isLocked(const std::string& key, Clock::time_point now = Clock::now());
    void recordFailure(const std::string& key, Clock::time_point now = Clock::now());
    void reset(const std::string& key);

private:
    struct Entry {
        std::size_t failures = 0;
        Clock::time_point windowStart;
    };
    void forgetExpired(Clock::time_point now);

    std::size_t maxFailures;
    std::chrono::seconds window;
    std::mutex mutex;
    std::map<std::string, Entry> entries;
};

} // namespace kestrune
