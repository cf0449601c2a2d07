#pragma once

#include "charging.h"
#include "replyholds.h"

#include <optional>

namespace kestrune
{

class Database;

// The points side of replies: the holds of running replies (their slots and points) and the
// settlement of a finished reply.
class Points
{
public:
    Points(Database& db, std::chrono::seconds holdLease) : holds(db, holdLease), db(db) {}

    std::optional<Settlement> settle(const TurnToSettle& turn) { return settleTurn(db, turn); }

    ReplyHolds holds;

private:
    Database& db;
};

} // namespace kestrune
