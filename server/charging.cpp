#include "charging.h"

#include "conversations.h"
#include "storage.h"
#include "text.h"

#include <limits>

namespace kestrune
{

std::int64_t chargeFor(std::size_t characters, int pointsPer100)
{
    if (pointsPer100 <= 0)
        return 0;
    std::int64_t units = 0;
    if (characters > static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max()) ||
        __builtin_mul_overflow(static_cast<std::int64_t>(characters), pointsPer100, &units))
        return std::numeric_limits<std::int64_t>::max();
    return units / 100 + (units % 100 != 0 ? 1 : 0);
}

std::size_t affordableCharacters(std::int64_t balance, int pointsPer100)
{
    if (pointsPer100 <= 0)
        return std::numeric_limits<std::size_t>::max();
    if (balance <= 0)
        return 0;
    std::int64_t units = 0;
    if (__builtin_mul_overflow(balance, std::int64_t{100}, &units))
        return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(units / pointsPer100);
}

std::optional<Settlement> settleTurn(Database& db, const TurnToSettle& turn)
{
    auto lock = db.lock();
    Transaction tx(db);
    auto st = db.prepare("SELECT points FROM users WHERE id = ?", turn.userId);
    if (!st.step())
        return std::nullopt;
    const std::int64_t balance = st.int64(0);

    Settlement s{turn.reply, turn.truncated, 0, balance};
    const std::size_t affordable = affordableCharacters(balance, turn.pointsPer100);
    if (codePointCount(s.content) > affordable) {
        s.content = std::string(firstCodePoints(s.content, affordable));
        s.truncated = true;
    }
    if (s.content.empty())
        return std::nullopt;
    s.charged = chargeFor(codePointCount(s.content), turn.pointsPer100);
    s.balance = balance - s.charged;

    const auto now = nowMs();
    db.prepare("UPDATE users SET points = points - ? WHERE id = ?", s.charged, turn.userId).run();
    if (turn.conversationId.empty()) {
        db.prepare("INSERT INTO ledger (user_id, delta, reason, model, created_ms) "
                   "VALUES (?, ?, 'private reply', ?, ?)",
                   turn.userId, -s.charged, turn.model, now)
            .run();
    } else {
        db.prepare("INSERT INTO ledger (user_id, delta, reason, model, conversation_id, "
                   "created_ms) VALUES (?, ?, 'reply', ?, ?, ?)",
                   turn.userId, -s.charged, turn.model, turn.conversationId, now)
            .run();
        // A conversation deleted while the reply streamed keeps its records as they were.
        appendTurn(db, {turn.userId, turn.conversationId, turn.prompt, s.content, s.truncated},
                   now);
    }
    tx.commit();
    return s;
}

} // namespace kestrune
