#include "loginthrottle.h"

#include "storage.h"

namespace kestrune
{
namespace
{

std::string pairKey(const std::string& account, const std::string& address)
{
    return account + '\n' + address;
}

} // namespace

LoginThrottle::LoginThrottle(Database& db, std::string kind, std::size_t maxFailures,
                             std::chrono::seconds window, std::size_t maxKeys)
    : db(db), kind(std::move(kind)), maxFailures(maxFailures),
      windowMs(std::chrono::duration_cast<std::chrono::milliseconds>(window).count()),
      maxKeys(std::max<std::size_t>(maxKeys, 4))
{
}

bool LoginThrottle::isLocked(const std::string& key, std::int64_t now)
{
    auto reader = db.reader();
    auto st = reader.prepare("SELECT failures FROM login_failures WHERE kind = ? AND subject = ? "
                             "AND window_start_ms > ?",
                             kind, key, now - windowMs);
    return st.step() && st.int64(0) >= static_cast<std::int64_t>(maxFailures);
}

void LoginThrottle::recordFailure(const std::string& key, std::int64_t now)
{
    {
        std::lock_guard guard(mutex);
        if (++sinceRoomMade >= maxKeys / 4) {
            sinceRoomMade = 0;
            makeRoom(now);
        }
    }
    const auto lock = db.lock();
    // One statement: failures from several instances at once all count.
    db.prepare("INSERT INTO login_failures (kind, subject, failures, window_start_ms) "
               "VALUES (?, ?, 1, ?) ON CONFLICT (kind, subject) DO UPDATE SET "
               "failures = CASE WHEN login_failures.window_start_ms <= ? THEN 1 "
               "ELSE login_failures.failures + 1 END, "
               "window_start_ms = CASE WHEN login_failures.window_start_ms <= ? THEN ? "
               "ELSE login_failures.window_start_ms END",
               kind, key, now, now - windowMs, now - windowMs, now)
        .run();
}

void LoginThrottle::reset(const std::string& key)
{
    const auto lock = db.lock();
    db.prepare("DELETE FROM login_failures WHERE kind = ? AND subject = ?", kind, key).run();
}

std::size_t LoginThrottle::size()
{
    auto reader = db.reader();
    auto st = reader.prepare("SELECT COUNT(*) FROM login_failures WHERE kind = ?", kind);
    st.step();
    return static_cast<std::size_t>(st.int64(0));
}

void LoginThrottle::makeRoom(std::int64_t now)
{
    const auto lock = db.lock();
    Transaction tx(db);
    db.prepare("DELETE FROM login_failures WHERE kind = ? AND window_start_ms <= ?", kind,
               now - windowMs)
        .run();
    auto count = db.prepare("SELECT COUNT(*) FROM login_failures WHERE kind = ?", kind);
    count.step();
    const auto keep = static_cast<std::int64_t>(maxKeys * 3 / 4);
    if (const std::int64_t excess = count.int64(0) - keep; excess > 0)
        db.prepare("DELETE FROM login_failures WHERE kind = ? AND subject IN (SELECT subject "
                   "FROM login_failures WHERE kind = ? ORDER BY window_start_ms LIMIT ?)",
                   kind, kind, excess)
            .run();
    tx.commit();
}

LoginGuard::LoginGuard(Database& db)
    : db(db), pairs(db, "pair", failuresPerAccountAndAddress),
      addresses(db, "address", failuresPerAddress), accounts(db, "account", failuresPerAccount)
{
}

bool LoginGuard::isRefused(const std::string& account, const std::string& address, std::int64_t now)
{
    const std::string pair = pairKey(account, address);
    if (pairs.isLocked(pair, now) || addresses.isLocked(address, now))
        return true;
    return accounts.isLocked(account, now) && !isKnown(pair, now);
}

void LoginGuard::recordFailure(const std::string& account, const std::string& address,
                               std::int64_t now)
{
    pairs.recordFailure(pairKey(account, address), now);
    addresses.recordFailure(address, now);
    accounts.recordFailure(account, now);
}

void LoginGuard::recordSuccess(const std::string& account, const std::string& address,
                               std::int64_t now)
{
    const std::string pair = pairKey(account, address);
    pairs.reset(pair);
    bool trim = false;
    {
        std::lock_guard guard(mutex);
        if (++sinceKnownTrimmed >= maxKnown / 4) {
            sinceKnownTrimmed = 0;
            trim = true;
        }
    }
    const auto lock = db.lock();
    if (trim) {
        Transaction tx(db);
        db.prepare("DELETE FROM login_known WHERE last_ms <= ?", now - knownForMs).run();
        auto count = db.prepare("SELECT COUNT(*) FROM login_known");
        count.step();
        const auto keep = static_cast<std::int64_t>(maxKnown * 3 / 4);
        if (const std::int64_t excess = count.int64(0) - keep; excess > 0)
            db.prepare("DELETE FROM login_known WHERE pair IN (SELECT pair FROM login_known "
                       "ORDER BY last_ms LIMIT ?)",
                       excess)
                .run();
        tx.commit();
    }
    db.prepare("INSERT INTO login_known (pair, last_ms) VALUES (?, ?) "
               "ON CONFLICT (pair) DO UPDATE SET last_ms = ?",
               pair, now, now)
        .run();
}

bool LoginGuard::isKnown(const std::string& pair, std::int64_t now)
{
    auto reader = db.reader();
    return reader
        .prepare("SELECT 1 FROM login_known WHERE pair = ? AND last_ms > ?", pair, now - knownForMs)
        .step();
}

} // namespace kestrune
