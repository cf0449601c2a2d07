#pragma once

#include "charging.h"
#include "reservations.h"
#include "streamslots.h"

#include <optional>

namespace kestrune
{

class Database;

// The points side of replies: what running replies hold, the reply streams each account has
// open, and the settlement of a finished reply.
class Points
{
public:
    explicit Points(Database& db) : reservations(db), db(db) {}

    std::optional<Settlement> settle(const TurnToSettle& turn) { return settleTurn(db, turn); }

    PointReservations reservations;
    StreamSlots streams;

private:
    Database& db;
};

} // namespace kestrune
