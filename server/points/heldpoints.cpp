#include "heldpoints.h"

#include "charging.h"
#include "reservations.h"

#include <algorithm>
#include <limits>

namespace kestrune
{

HeldPoints::~HeldPoints()
{
    reservations.release(userId, held);
}

std::size_t HeldPoints::room(std::size_t used) const
{
    if (free())
        return std::numeric_limits<std::size_t>::max();
    const std::size_t paid = affordableCharacters(held, pointsPer100);
    return paid > used ? paid - used : 0;
}

asio::awaitable<bool> HeldPoints::growTo(std::size_t characters)
{
    if (free())
        co_return true;
    const std::int64_t needed = chargeFor(characters, pointsPer100) - held;
    if (needed <= 0)
        co_return true;
    const std::int64_t wanted = std::max(needed, chargeFor(blockCharacters, pointsPer100));
    const std::int64_t granted = co_await runBlocking(
        blocking, [this, wanted] { return reservations.reserve(userId, wanted); });
    held += granted;
    co_return granted > 0;
}

} // namespace kestrune
