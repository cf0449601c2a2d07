#include "reservations.h"

#include "balance.h"
#include "storage.h"

#include <algorithm>

namespace kestrune
{

std::int64_t PointReservations::reserve(std::int64_t userId, std::int64_t wanted)
{
    if (wanted <= 0)
        return 0;
    auto guard = db.lock();
    const auto balance = balanceOf(db, userId);
    if (!balance)
        return 0;
    std::lock_guard lock(mutex);
    std::int64_t& held = reserved[userId];
    const std::int64_t granted = std::clamp<std::int64_t>(*balance - held, 0, wanted);
    held += granted;
    if (held == 0)
        reserved.erase(userId);
    return granted;
}

void PointReservations::release(std::int64_t userId, std::int64_t points)
{
    std::lock_guard lock(mutex);
    const auto it = reserved.find(userId);
    if (it == reserved.end())
        return;
    it->second -= points;
    if (it->second <= 0)
        reserved.erase(it);
}

std::int64_t PointReservations::reservedBy(std::int64_t userId)
{
    std::lock_guard lock(mutex);
    const auto it = reserved.find(userId);
    return it == reserved.end() ? 0 : it->second;
}

} // namespace kestrune
