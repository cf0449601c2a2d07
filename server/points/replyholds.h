#pragma once

#include "clock.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace kestrune
{

class Database;

// Replies under way, one row each in the database, so that every instance of the service
// sees those of the others: a row takes one of the account's reply slots and holds the points
// set aside for the reply from the account's balance. Parallel replies of one account, on any
// instance, draw on that one balance, so together they never deliver more than it pays for.
//
// Each row carries a lease that its instance renews while it runs. The rows of an instance that
// died count for nothing once their lease has run out, and are removed by the next instance that
// looks.
class ReplyHolds
{
public:
    ReplyHolds(Database& db, std::chrono::seconds lease);

    struct Opened {
        std::string id;
        std::int64_t points = 0; // granted of those wanted
        std::int64_t openedMs = 0;
    };
    // Opens a hold for a new reply when the account has fewer than `limit` open, with up to
    // `wanted` points set aside as reserve() would; nothing when the account has all its slots
    // in use.
    std::optional<Opened> open(std::int64_t userId, int limit, std::int64_t wanted,
                               std::int64_t now = nowMs());
    // Sets aside up to `wanted` more points for the hold, from what the balance has left beside
    // the account's other holds; the points granted (0 when nothing is left, or when the hold
    // lost its lease).
    std::int64_t reserve(const std::string& holdId, std::int64_t userId, std::int64_t wanted,
                         std::int64_t now = nowMs());
    void close(const std::string& holdId);
    // Extends the lease of every live hold of this instance and removes the holds whose lease
    // ran out; run well within the lease.
    void renew(std::int64_t now = nowMs());
    // A time until which a hold of this instance opened at `openedMs` surely keeps its lease,
    // from the renewals seen to reach the database: past it, other instances may already have
    // spent its points and taken its slot.
    std::int64_t leasedUntil(std::int64_t openedMs) const;
    // Removes every hold of this instance (when it stops).
    void closeAll();

    std::chrono::seconds lease() const { return leaseTime; }

private:
    // What the balance has left beside the account's live holds; with the writing lock held.
    std::int64_t available(std::int64_t userId, std::int64_t now);

    Database& db;
    std::chrono::seconds leaseTime;
    std::string instance; // random, new at every start

    // The renewals that reached the database: the latest one, and the first of the run of
    // renewals each within the lease of the one before. A hold whose lease ran out before that
    // run began was not renewed by it.
    mutable std::mutex renewalsMutex;
    std::int64_t renewalRunStartMs = 0;
    std::int64_t lastRenewalMs = 0;
};

// Inside a settlement's transaction: the hold's points are spent or given back together with
// the charge, so the balance and the holds never count one point twice.
void emptyHold(Database& db, const std::string& holdId);

} // namespace kestrune
