#pragma once

#include "clock.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace kestrune
{

class Database;

// Counts failed sign-ins per key, in the database so that every instance of the service counts
// together. After `maxFailures` failures within `window` the key is refused until the window
// has passed, whatever password is tried. About `maxKeys` keys are remembered: under a flood of
// fresh keys the oldest windows are forgotten first. Times are wall-clock milliseconds.
class LoginThrottle
{
public:
    LoginThrottle(Database& db, std::string kind, std::size_t maxFailures,
                  std::chrono::seconds window = std::chrono::minutes(15),
                  std::size_t maxKeys = 100000);

    bool isLocked(const std::string& key, std::int64_t now = nowMs());
    void recordFailure(const std::string& key, std::int64_t now = nowMs());
    void reset(const std::string& key);
    std::size_t size();

private:
    // Drops ended windows and, past three quarters of `maxKeys`, the oldest; run every quarter
    // of `maxKeys` failures, so the table never holds much more than `maxKeys` per instance.
    void makeRoom(std::int64_t now);

    Database& db;
    std::string kind; // the table holds every throttle's keys, told apart by this
    std::size_t maxFailures;
    std::int64_t windowMs;
    std::size_t maxKeys;
    std::mutex mutex;
    std::size_t sinceRoomMade = 0;
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
    static constexpr std::size_t failuresPerAccountAndAddress = 5;
    static constexpr std::size_t failuresPerAddress = 30;
    static constexpr std::size_t failuresPerAccount = 50;
    static constexpr std::int64_t knownForMs = 30LL * 24 * 3600 * 1000;
    static constexpr std::size_t maxKnown = 100000;

    explicit LoginGuard(Database& db);

    bool isRefused(const std::string& account, const std::string& address,
                   std::int64_t now = nowMs());
    void recordFailure(const std::string& account, const std::string& address,
                       std::int64_t now = nowMs());
    void recordSuccess(const std::string& account, const std::string& address,
                       std::int64_t now = nowMs());

private:
    bool isKnown(const std::string& pair, std::int64_t now);

    Database& db;
    LoginThrottle pairs;
    LoginThrottle addresses;
    LoginThrottle accounts;
    std::mutex mutex;
    std::size_t sinceKnownTrimmed = 0;
};

} // namespace kestrune
