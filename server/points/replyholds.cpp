#include "replyholds.h"

#include "balance.h"
#include "clock.h"
#include "security.h"
#include "storage.h"

#include <algorithm>

namespace kestrune
{

ReplyHolds::ReplyHolds(Database& db, std::chrono::seconds lease)
    : db(db), leaseTime(lease), instance(randomHex(8))
{
}

std::optional<std::string> ReplyHolds::open(std::int64_t userId, int limit)
{
    const std::int64_t now = nowMs();
    const std::string id = randomHex(12);
    const auto lock = db.lock();
    Transaction tx(db);
    db.prepare("DELETE FROM reply_holds WHERE user_id = ? AND expires_ms <= ?", userId, now).run();
    auto open = db.prepare("SELECT COUNT(*) FROM reply_holds WHERE user_id = ?", userId);
    open.step();
    if (open.int64(0) >= limit)
        return std::nullopt;
    db.prepare("INSERT INTO reply_holds (id, user_id, points, instance, expires_ms) "
               "VALUES (?, ?, 0, ?, ?)",
               id, userId, instance, now + leaseTime.count() * 1000)
        .run();
    tx.commit();
    return id;
}

std::int64_t ReplyHolds::reserve(const std::string& holdId, std::int64_t userId,
                                 std::int64_t wanted)
{
    if (wanted <= 0)
        return 0;
    const std::int64_t now = nowMs();
    const auto lock = db.lock();
    Transaction tx(db);
    const auto balance = balanceOf(db, userId);
    if (!balance)
        return 0;
    auto held = db.prepare(
        "SELECT COALESCE(SUM(points), 0) FROM reply_holds WHERE user_id = ? AND expires_ms > ?",
        userId, now);
    held.step();
    const std::int64_t granted = std::clamp<std::int64_t>(*balance - held.int64(0), 0, wanted);
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

void ReplyHolds::renew()
{
    const std::int64_t now = nowMs();
    const auto lock = db.lock();
    Transaction tx(db);
    db.prepare("UPDATE reply_holds SET expires_ms = ? WHERE instance = ?",
               now + leaseTime.count() * 1000, instance)
        .run();
    db.prepare("DELETE FROM reply_holds WHERE expires_ms <= ?", now).run();
    tx.commit();
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
