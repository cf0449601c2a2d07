#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

namespace kestrune
{

// Counts failed sign-ins per key. After `maxFailures` failures within `window` the key is
// refused until the window has passed, whatever password is tried. At most `maxKeys` keys are
// remembered: under a flood of fresh keys the oldest windows are forgotten first.
class LoginThrottle
{
public:
    using Clock = std::chrono::steady_clock;

    explicit LoginThrottle(std::size_t maxFailures = 5,
                           std::chrono::seconds window = std::chrono::minutes(15),
                           std::size_t maxKeys = 100000)
        : maxFailures(maxFailures), window(window), maxKeys(maxKeys)
    {
    }

    bool isLocked(const std::string& key, Clock::time_point now = Clock::now());
    void recordFailure(const std::string& key, Clock::time_point now = Clock::now());
    void reset(const std::string& key);
    std::size_t size();

private:
    struct Entry {
        std::size_t failures = 0;
        Clock::time_point windowStart;
    };
    void makeRoom(Clock::time_point now);

    std::size_t maxFailures;
    std::chrono::seconds window;
    std::size_t maxKeys;
    std::mutex mutex;
    std::unordered_map<std::string, Entry> entries;
};

// Who may try a password for an account. Guessing is bounded three ways, and none of them lets
// a stranger lock the owner out:
//  - five failures for one account from one address refuse that address for that account;
//  - thirty failures from one address refuse it for every account;
//  - fifty failures for one account from all addresses together refuse it to every address
//    that has not signed in to it before (a known address stays welcome for 30 days).
// Each for 15 minutes after the first failure counted.
class LoginGuard
{
public:
    using Clock = LoginThrottle::Clock;
    static constexpr std::size_t failuresPerAccountAndAddress = 5;
    static constexpr std::size_t failuresPerAddress = 30;
    static constexpr std::size_t failuresPerAccount = 50;
    static constexpr auto knownFor = std::chrono::hours(24 * 30);
    static constexpr std::size_t maxKnown = 100000;

    bool isRefused(const std::string& account, const std::string& address,
                   Clock::time_point now = Clock::now());
    void recordFailure(const std::string& account, const std::string& address,
                       Clock::time_point now = Clock::now());
    void recordSuccess(const std::string& account, const std::string& address,
                       Clock::time_point now = Clock::now());

private:
    bool isKnown(const std::string& pair, Clock::time_point now);

    LoginThrottle pairs{failuresPerAccountAndAddress};
    LoginThrottle addresses{failuresPerAddress};
    LoginThrottle accounts{failuresPerAccount};
    std::mutex mutex;
    std::unordered_map<std::string, Clock::time_point> known; // pair -> last sign-in
};

} // namespace kestrune
