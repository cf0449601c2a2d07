#include "replyhold.h"

#include "charging.h"
#include "clock.h"

#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>

#include <algorithm>
#include <iostream>
#include <limits>

namespace kestrune
{

ReplyHold::ReplyHold(ReplyHolds& holds, asio::thread_pool& blocking, ReplyHolds::Opened opened,
                     std::int64_t userId, int pointsPer100)
    : holds(holds), blocking(blocking), holdId(std::move(opened.id)), openedMs(opened.openedMs),
      userId(userId), pointsPer100(pointsPer100), held(opened.points)
{
    metrics::replyStreamOpened();
}

ReplyHold::~ReplyHold()
{
    metrics::replyStreamClosed();
    // Off this thread, which serves connections. Should it fail (the database gone), the lease
    // runs out and the hold counts for nothing.
    asio::post(blocking, [&holds = holds, id = holdId] {
        try {
            holds.close(id);
        } catch (const std::exception&) {
        }
    });
}

std::int64_t ReplyHold::firstBlock(int pointsPer100)
{
    return pointsPer100 > 0 ? chargeFor(blockCharacters, pointsPer100) : 0;
}

bool ReplyHold::leased() const
{
    return nowMs() < holds.leasedUntil(openedMs);
}

std::size_t ReplyHold::room(std::size_t used) const
{
    if (!leased())
        return 0;
    if (free())
        return std::numeric_limits<std::size_t>::max();
    const std::size_t paid = affordableCharacters(held, pointsPer100);
    return paid > used ? paid - used : 0;
}

asio::awaitable<bool> ReplyHold::growTo(std::size_t characters)
{
    if (!leased())
        co_return false;
    if (free())
        co_return true;
    const std::int64_t needed = chargeFor(characters, pointsPer100) - held;
    if (needed <= 0)
        co_return true;
    const std::int64_t wanted = std::max(needed, chargeFor(blockCharacters, pointsPer100));
    std::int64_t granted = 0;
    try {
        granted = co_await runBlocking(
            blocking, [this, wanted] { return holds.reserve(holdId, userId, wanted); });
    } catch (const std::exception&) {
        // A database that cannot take the hold now (a full disk, a lost connection) ends the
        // reply where its points end, as an empty balance would; the settlement then says
        // whether it could be kept.
    }
    held += granted;
    co_return granted > 0;
}

namespace
{

asio::awaitable<void> renewForever(ReplyHolds& holds, asio::thread_pool& blocking)
{
    asio::steady_timer timer(co_await asio::this_coro::executor);
    for (;;) {
        timer.expires_after(holds.lease() / 3);
        co_await timer.async_wait(asio::use_awaitable);
        try {
            co_await runBlocking(blocking, [&holds] { holds.renew(); });
        } catch (const std::exception& e) {
            // The next round tries again; two missed rounds in a row cost the leases.
            std::cerr << "error: renewing reply leases: " << e.what() << "\n";
        }
    }
}

} // namespace

void startRenewingHolds(ReplyHolds& holds, asio::io_context& context, asio::thread_pool& blocking)
{
    asio::co_spawn(context, renewForever(holds, blocking), asio::detached);
}

} // namespace kestrune
