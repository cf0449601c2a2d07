#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace kestrune
{

class Database;

// Points set aside for replies under way. A reply streams only what its reservation pays for
// and asks for more as it grows; parallel replies of one account draw on one balance, so
// together they never deliver more than it pays for. A reservation is settled to the charge
// when the reply is stored and released in full when it is not.
class PointReservations
{
public:
    explicit PointReservations(Database& db) : db(db) {}

    // Sets aside up to `wanted` points of what the balance has left beside the other
    // reservations of the account; returns the points granted (0 when nothing is left).
    std::int64_t reserve(std::int64_t userId, std::int64_t wanted);
    void release(std::int64_t userId, std::int64_t points);
    std::int64_t reservedBy(std::int64_t userId);

private:
    Database& db;
    std::mutex mutex;
    std::unordered_map<std::int64_t, std::int64_t> reserved;
};

} // namespace kestrune
