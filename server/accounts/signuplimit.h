#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace kestrune
{

// Sign-ups per client address and in all per hour: each one writes an outbox mail and costs
// a password hash, so neither one client nor many together may start them without end.
class SignupLimit
{
public:
    using Clock = std::chrono::steady_clock;

    SignupLimit(std::size_t perAddress, std::size_t overall,
                std::chrono::seconds window = std::chrono::hours(1))
        : perAddress(perAddress), overall(overall), window(window)
    {
    }

    // Counts a sign-up from `address`; false (and not counted) when a limit is reached.
    bool admit(const std::string& address, Clock::time_point now = Clock::now());

private:
    void forgetBefore(Clock::time_point cutoff);

    std::size_t perAddress;
    std::size_t overall;
    std::chrono::seconds window;
    std::mutex mutex;
    std::deque<std::pair<Clock::time_point, std::string>> recent; // oldest first
    std::map<std::string, std::size_t> countPerAddress;
};

} // namespace kestrune
