#include "signuplimit.h"

#include "storage.h"

namespace kestrune
{

bool SignupLimit::admit(const std::string& address, std::int64_t now)
{
    const auto lock = db.lock();
    Transaction tx(db);
    // The table holds at most an hour's admitted sign-ups, and so at most `overall` rows.
    db.prepare("DELETE FROM signup_attempts WHERE created_ms <= ?", now - windowMs).run();
    auto counts = db.prepare("SELECT COUNT(*), COALESCE(SUM(CASE WHEN address = ? THEN 1 ELSE 0 "
                             "END), 0) FROM signup_attempts",
                             address);
    counts.step();
    if (counts.int64(0) >= static_cast<std::int64_t>(overall) ||
        counts.int64(1) >= static_cast<std::int64_t>(perAddress))
        return false;
    db.prepare("INSERT INTO signup_attempts (address, created_ms) VALUES (?, ?)", address, now)
        .run();
    tx.commit();
    return true;
}

} // namespace kestrune
