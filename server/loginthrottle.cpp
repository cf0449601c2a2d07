#include "loginthrottle.h"

namespace kestrune
{

bool LoginThrottle::isLocked(const std::string& key, Clock::time_point now)
{
    std::lock_guard guard(mutex);
    const auto it = entries.find(key);
    return it != entries.end() && now - it->second.windowStart < window &&
           it->second.failures >= maxFailures;
}

void LoginThrottle::recordFailure(const std::string& key, Clock::time_point now)
{
    std::lock_guard guard(mutex);
    // Bounded memory even under a flood of made-up names.
    if (entries.size() > 100000)
        forgetExpired(now);
    auto& entry = entries[key];
    if (entry.failures == 0 || now - entry.windowStart >= window) {
        entry.failures = 0;
        entry.windowStart = now;
    }
    ++entry.failures;
}

void LoginThrottle::reset(const std::string& key)
{
    std::lock_guard guard(mutex);
    entries.erase(key);
}

void LoginThrottle::forgetExpired(Clock::time_point now)
{
    std::erase_if(entries,
                  [&](const auto& item) { return now - item.second.windowStart >= window; });
}

} // namespace kestrune
