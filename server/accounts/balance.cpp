#include "balance.h"

#include "storage.h"

namespace kestrune
{
namespace
{

void bindOptionalText(Statement& statement, int index, const std::string& text)
{
    if (text.empty())
        statement.bindValue(index, nullptr);
    else
        statement.bindValue(index, text);
}

} // namespace

std::optional<std::int64_t> balanceOf(Database& db, std::int64_t userId)
{
    auto st = db.prepare("SELECT points FROM users WHERE id = ?", userId);
    if (!st.step())
        return std::nullopt;
    return st.int64(0);
}

void changeBalance(Database& db, const BalanceChange& change, std::int64_t now)
{
    db.prepare("UPDATE users SET points = points + ? WHERE id = ?", change.delta, change.userId)
        .run();
    auto st = db.prepare("INSERT INTO ledger (user_id, delta, reason, model, conversation_id, "
                         "created_ms) VALUES (?, ?, ?, ?, ?, ?)",
                         change.userId, change.delta, change.reason);
    bindOptionalText(st, 4, change.model);
    bindOptionalText(st, 5, change.conversationId);
    st.bindValue(6, now);
    st.run();
}

} // namespace kestrune
