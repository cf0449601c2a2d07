#include "loginthrottle.h"

#include <algorithm>
#include <vector>

namespace kestrune
{
namespace
{

// Drops the quarter of `entries` with the oldest times, so that a full table makes room in
// one pass instead of one entry at a time.
template <class Map, class TimeOf> void forgetOldestQuarter(Map& entries, TimeOf timeOf)
{
    std::vector<LoginThrottle::Clock::time_point> times;
    times.reserve(entries.size());
    for (const auto& item : entries)
        times.push_back(timeOf(item.second));
    const auto quarter = times.begin() + static_cast<std::ptrdiff_t>(times.size() / 4);
    std::nth_element(times.begin(), quarter, times.end());
    const auto cutoff = *quarter;
    std::erase_if(entries, [&](const auto& item) { return timeOf(item.second) <= cutoff; });
}

std::string pairKey(const std::string& account, const std::string& address)
{
    return account + '\n' + address;
}

} // namespace

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
    if (entries.size() >= maxKeys && !entries.contains(key))
        makeRoom(now);
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

std::size_t LoginThrottle::size()
{
    std::lock_guard guard(mutex);
    return entries.size();
}

void LoginThrottle::makeRoom(Clock::time_point now)
{
    std::erase_if(entries,
                  [&](const auto& item) { return now - item.second.windowStart >= window; });
    if (entries.size() >= maxKeys)
        forgetOldestQuarter(entries, [](const Entry& entry) { return entry.windowStart; });
}

bool LoginGuard::isRefused(const std::string& account, const std::string& address,
                           Clock::time_point now)
{
    const std::string pair = pairKey(account, address);
    if (pairs.isLocked(pair, now) || addresses.isLocked(address, now))
        return true;
    return accounts.isLocked(account, now) && !isKnown(pair, now);
}

void LoginGuard::recordFailure(const std::string& account, const std::string& address,
                               Clock::time_point now)
{
    pairs.recordFailure(pairKey(account, address), now);
    addresses.recordFailure(address, now);
    accounts.recordFailure(account, now);
}

void LoginGuard::recordSuccess(const std::string& account, const std::string& address,
                               Clock::time_point now)
{
    const std::string pair = pairKey(account, address);
    pairs.reset(pair);
    std::lock_guard guard(mutex);
    if (known.size() >= maxKnown && !known.contains(pair)) {
        std::erase_if(known, [&](const auto& item) { return now - item.second >= knownFor; });
        if (known.size() >= maxKnown)
            forgetOldestQuarter(known, [](Clock::time_point when) { return when; });
    }
    known[pair] = now;
}

bool LoginGuard::isKnown(const std::string& pair, Clock::time_point now)
{
    std::lock_guard guard(mutex);
    const auto it = known.find(pair);
    return it != known.end() && now - it->second < knownFor;
}

} // namespace kestrune
