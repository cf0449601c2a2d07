#include "charging.h"

#include "balance.h"
#include "clock.h"
#include "conversations.h"
#include "replyholds.h"
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
    const auto balance = balanceOf(db, turn.userId);
    if (!balance)
        return std::nullopt;

    Settlement s{turn.reply, turn.truncated, 0, *balance};
    const std::size_t affordable = affordableCharacters(*balance, turn.pointsPer100);
    if (codePointCount(s.content) > affordable) {
        s.content = std::string(firstCodePoints(s.content, affordable));
        s.truncated = true;
    }
    if (s.content.empty())
        return std::nullopt;
    s.charged = chargeFor(codePointCount(s.content), turn.pointsPer100);
    s.balance = *balance - s.charged;

    const auto now = nowMs();
    const bool cloud = !turn.conversationId.empty();
    changeBalance(db,
                  {turn.userId, -s.charged, cloud ? "reply" : "private reply", turn.model,
                   turn.conversationId},
                  now);
    if (!turn.holdId.empty())
        emptyHold(db, turn.holdId);
    if (cloud) {
        // A conversation deleted while the reply streamed keeps its records as they were.
        appendTurn(db, {turn.userId, turn.conversationId, turn.prompt, s.content, s.truncated},
                   now);
    }
    tx.commit();
    return s;
}

} // namespace kestrune
