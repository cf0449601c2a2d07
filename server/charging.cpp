#include "charging.h"

#include "storage.h"
#include "text.h"

#include <limits>

namespace kestrune
{

std::int64_t chargeFor(std::size_t characters, int pointsPer100)
{
    const auto units = static_cast<std::int64_t>(characters) * pointsPer100;
    return (units + 99) / 100;
}

std::size_t affordableCharacters(std::int64_t balance, int pointsPer100)
{
    if (pointsPer100 <= 0)
        return std::numeric_limits<std::size_t>::max();
    if (balance <= 0)
        return 0;
    return static_cast<std::size_t>(balance * 100 / pointsPer100);
}

std::optional<Settlement> settleTurn(Database& db, const TurnToSettle& turn)
{
    auto guard = db.lock();
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
        db.prepare("INSERT INTO messages (conversation_id, role, content, created_ms) "
                   "VALUES (?, 'user', ?, ?), (?, 'assistant', ?, ?)",
                   turn.conversationId, turn.prompt, now, turn.conversationId, s.content, now)
            .run();
        // The first completed turn names a conversation that the user has not renamed.
        auto first = db.prepare("SELECT COUNT(*) FROM messages WHERE conversation_id = ?",
                                turn.conversationId);
        first.step();
        if (first.int64(0) == 2)
            db.prepare("UPDATE conversations SET title = ? WHERE id = ? AND renamed = 0",
                       titleFromPrompt(turn.prompt), turn.conversationId)
                .run();
        db.prepare("UPDATE conversations SET updated_ms = ? WHERE id = ?", now, turn.conversationId)
            .run();
    }
    tx.commit();
    return s;
}

} // namespace kestrune
