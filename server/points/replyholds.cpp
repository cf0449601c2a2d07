#include "replyholds.h"

#include "security.h"
#include "storage.h"

#include <algorithm>

namespace kestrune
{

ReplyHolds::ReplyHolds(Database& db, std::chrono::seconds lease)
    : db(db), leaseTime(lease), instance(randomHex(8))
{
}

std::int64_t ReplyHolds::available(std::int64_t userId, std::int64_t now)
{
    auto st = db.prepare("SELECT points - COALESCE((SELECT SUM(points) FROM reply_holds WHERE "
                         "user_id = ? AND expires_ms > ?), 0) FROM users WHERE id = ?",
                         userId, now, userId);
    return st.step() ? st.int64(0) : 0;
}

std::optional<ReplyHolds::Opened> ReplyHolds::open(std::int64_t userId, int limit,
                                                   std::int64_t wanted, std::int64_t now)
{
    Opened opened{randomHex(12), 0, now};
    const auto lock = db.lock();
    Transaction tx(db);
    // Holds whose lease ran out count for nothing; renew() removes them.
    auto open = db.prepare("SELECT COUNT(*) FROM reply_holds WHERE user_id = ? AND expires_ms > ?",
                           userId, now);
    open.step();
    if (open.int64(0) >= limit)
        return std::nullopt;
    if (wanted > 0)
        opened.points = std::clamp<std::int64_t>(available(userId, now), 0, wanted);
    db.prepare("INSERT INTO reply_holds (id, user_id, points, instance, expires_ms) "
               "VALUES (?, ?, ?, ?, ?)",
               opened.id, userId, opened.points, instance, now + leaseTime.count() * 1000)
        .run();
    tx.commit();
    return opened;
}

std::int64_t ReplyHolds::reserve(const std::string& holdId, std::int64_t userId,
                                 std::int64_t wanted, std::int64_t now)
{
    if (wanted <= 0)
        return 0;
    const auto lock = db.lock();
    Transaction tx(db);
    const std::int64_t granted = std::clamp<std::int64_t>(available(userId, now), 0, wanted);
    if (granted == 0)
        return 0;
    if (db.prepare("UPDATE reply_holds SET points = points + ? WHERE id = ? AND expires_ms > ?",
                   granted, holdId, now)
            .run() == 0)
        return 0;
    tx.commit();
    return granted;
}

void ReplyHolds::close(const std::string& holdId)
{
    const auto lock = db.lock();
    db.prepare("DELETE FROM reply_holds WHERE id = ?", holdId).run();
}

void ReplyHolds::renew(std::int64_t now)
{
    const std::int64_t leaseMs = leaseTime.count() * 1000;
    {
        const auto lock = db.lock();
        Transaction tx(db);
        // A hold whose lease already ran out stays dead: its points may be spent elsewhere.
        db.prepare("UPDATE reply_holds SET expires_ms = ? WHERE instance = ? AND expires_ms > ?",
                   now + leaseMs, instance, now)
            .run();
        db.prepare("DELETE FROM reply_holds WHERE expires_ms <= ?", now).run();
        tx.commit();
    }
    std::lock_guard guard(renewalsMutex);
    if (now >= lastRenewalMs + leaseMs)
        renewalRunStartMs = now;
    lastRenewalMs = now;
}

std::int64_t ReplyHolds::leasedUntil(std::int64_t openedMs) const
{
    const std::int64_t leaseMs = leaseTime.count() * 1000;
    const std::int64_t own = openedMs + leaseMs;
    std::lock_guard guard(renewalsMutex);
    if (lastRenewalMs == 0 || own <= renewalRunStartMs)
        return own;
    return std::max(own, lastRenewalMs + leaseMs);
}

void ReplyHolds::closeAll()
{
    const auto lock = db.lock();
    db.prepare("DELETE FROM reply_holds WHERE instance = ?", instance).run();
}

void emptyHold(Database& db, const std::string& holdId)
{
    db.prepare("UPDATE reply_holds SET points = 0 WHERE id = ?", holdId).run();
}

} // namespace kestrune
