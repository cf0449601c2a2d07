#pragma once

#include "blocking.h"
#include "replyholds.h"

#include <boost/asio/io_context.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrune
{

// One reply's hold while it streams: its reply slot, and the points taken from the balance a
// block at a time as the reply grows. Settlement spends them; whatever is left is given back,
// and the slot freed, when the reply ends however it ends. A hold whose lease is gone (the
// database out of reach for longer than the lease) pays for nothing more.
class ReplyHold
{
public:
    ReplyHold(ReplyHolds& holds, asio::thread_pool& blocking, ReplyHolds::Opened opened,
              std::int64_t userId, int pointsPer100);
    ~ReplyHold();
    ReplyHold(const ReplyHold&) = delete;
    ReplyHold& operator=(const ReplyHold&) = delete;

    const std::string& id() const { return holdId; }
    bool free() const { return pointsPer100 <= 0; }
    // False once the hold's lease is gone: it pays for nothing more.
    bool leased() const;

    // The characters the held points still pay for, beyond `used`.
    std::size_t room(std::size_t used) const;

    // The points to open a hold with: the first block.
    static std::int64_t firstBlock(int pointsPer100);

    // Takes more points so that `characters` in all are paid for, in blocks of a few hundred
    // characters so that a long reply asks the balance rarely; false when nothing more was
    // granted.
    asio::awaitable<bool> growTo(std::size_t characters);

private:
    static constexpr std::size_t blockCharacters = 400;

    ReplyHolds& holds;
    asio::thread_pool& blocking;
    std::string holdId;
    std::int64_t openedMs;
    std::int64_t userId;
    int pointsPer100;
    std::int64_t held;
};

// Renews the leases of this instance's holds every third of the lease, on `context` until it
// stops; the database work runs on `blocking`.
void startRenewingHolds(ReplyHolds& holds, asio::io_context& context, asio::thread_pool& blocking);

} // namespace kestrune
