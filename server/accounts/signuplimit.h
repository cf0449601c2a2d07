#pragma once

#include "clock.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrune
{

class Database;

// Sign-ups per client address and in all per hour, counted in the database across every
// instance: each one writes a mail and costs a password hash, so neither one client nor many
// together may start them without end. Times are wall-clock milliseconds.
class SignupLimit
{
public:
    SignupLimit(Database& db, std::size_t perAddress, std::size_t overall,
                std::chrono::seconds window = std::chrono::hours(1))
        : db(db), perAddress(perAddress), overall(overall),
          windowMs(std::chrono::duration_cast<std::chrono::milliseconds>(window).count())
    {
    }

    // Counts a sign-up from `address`; false (and not counted) when a limit is reached.
    bool admit(const std::string& address, std::int64_t now = nowMs());

private:
    Database& db;
    std::size_t perAddress;
    std::size_t overall;
    std::int64_t windowMs;
};

} // namespace kestrune
