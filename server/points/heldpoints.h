#pragma once

#include "blocking.h"

#include <cstddef>
#include <cstdint>

namespace kestrune
{

class PointReservations;

// The points one reply holds while it streams: taken from the balance a block at a time as
// the reply grows, settled to the charge when it is stored, the rest given back in any case.
class HeldPoints
{
public:
    HeldPoints(PointReservations& reservations, asio::thread_pool& blocking, std::int64_t userId,
               int pointsPer100)
        : reservations(reservations), blocking(blocking), userId(userId), pointsPer100(pointsPer100)
    {
    }
    ~HeldPoints();
    HeldPoints(const HeldPoints&) = delete;
    HeldPoints& operator=(const HeldPoints&) = delete;

    bool free() const { return pointsPer100 <= 0; }

    // The characters the held points still pay for, beyond `used`.
    std::size_t room(std::size_t used) const;

    // Takes more points so that `characters` in all are paid for, in blocks of a few hundred
    // characters so that a long reply asks the balance rarely; false when nothing more was
    // granted.
    asio::awaitable<bool> growTo(std::size_t characters);

private:
    static constexpr std::size_t blockCharacters = 400;

    PointReservations& reservations;
    asio::thread_pool& blocking;
    std::int64_t userId;
    int pointsPer100;
    std::int64_t held = 0;
};

} // namespace kestrune
