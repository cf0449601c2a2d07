#include "conversations.h"

#include "clock.h"
#include "refusal.h"
#include "security.h"
#include "storage.h"
#include "text.h"

#include <algorithm>

namespace kestrune
{
namespace
{

constexpr const char* columns =
    "SELECT id, title, model, created_ms, updated_ms FROM conversations ";

Conversation readConversation(const Statement& st)
{
    return Conversation{st.text(0), st.text(1), st.text(2), st.int64(3), st.int64(4)};
}

std::int64_t single(Statement st)
{
    st.step();
    return st.int64(0);
}

std::string sizeText(std::int64_t bytes)
{
    constexpr std::int64_t mib = 1024 * 1024;
    return bytes >= mib ? std::to_string(bytes / mib) + " MB"
                        : std::to_string(bytes / 1024) + " KB";
}

} // namespace

nlohmann::json conversationJson(const Conversation& c)
{
    return {{"id", c.id},
            {"title", c.title},
            {"model", c.model},
            {"created_at", isoTime(c.createdMs)},
            {"updated_at", isoTime(c.updatedMs)}};
}

nlohmann::json messageJson(const Message& m)
{
    nlohmann::json record{{"role", m.role}, {"content", m.content}};
    if (m.truncated)
        record["truncated"] = true;
    return record;
}

bool appendTurn(Database& db, const TurnRecord& turn, std::int64_t now)
{
    if (!db.prepare("SELECT 1 FROM conversations WHERE id = ? AND user_id = ? AND "
                    "deleted_ms IS NULL",
                    turn.conversationId, turn.userId)
             .step())
        return false;
    db.prepare("INSERT INTO messages (conversation_id, role, content, truncated, created_ms) "
               "VALUES (?, 'user', ?, 0, ?), (?, 'assistant', ?, ?, ?)",
               turn.conversationId, turn.prompt, now, turn.conversationId, turn.reply,
               std::int64_t{turn.truncated}, now)
        .run();
    const auto bytes = static_cast<std::int64_t>(turn.prompt.size() + turn.reply.size());
    db.prepare("UPDATE users SET stored_bytes = stored_bytes + ? WHERE id = ?", bytes, turn.userId)
        .run();
    // The first completed turn names a conversation that the user has not renamed.
    const bool first = single(db.prepare("SELECT COUNT(*) FROM messages WHERE conversation_id = ?",
                                         turn.conversationId)) == 2;
    db.prepare("UPDATE conversations SET stored_bytes = stored_bytes + ?, updated_ms = ?, "
               "title = CASE WHEN ? AND renamed = 0 THEN ? ELSE title END WHERE id = ?",
               bytes, now, std::int64_t{first}, titleFromPrompt(turn.prompt), turn.conversationId)
        .run();
    return true;
}

std::int64_t purgeDeleted(Database& db, std::optional<std::int64_t> userId, std::int64_t limit)
{
    auto victims =
        userId ? db.prepare("SELECT id, user_id, stored_bytes FROM conversations WHERE user_id = ? "
                            "AND deleted_ms IS NOT NULL ORDER BY deleted_ms LIMIT ?",
                            *userId, limit)
               : db.prepare("SELECT id, user_id, stored_bytes FROM conversations "
                            "WHERE deleted_ms IS NOT NULL");
    struct Victim {
        std::string id;
        std::int64_t userId;
        std::int64_t bytes;
    };
    std::vector<Victim> found;
    while (victims.step())
        found.push_back({victims.text(0), victims.int64(1), victims.int64(2)});
    for (const Victim& v : found) {
        db.prepare("DELETE FROM messages WHERE conversation_id = ?", v.id).run();
        db.prepare("DELETE FROM conversations WHERE id = ?", v.id).run();
        db.prepare("UPDATE users SET stored_bytes = CASE WHEN stored_bytes > ? THEN "
                   "stored_bytes - ? ELSE 0 END WHERE id = ?",
                   v.bytes, v.bytes, v.userId)
            .run();
    }
    return static_cast<std::int64_t>(found.size());
}

Conversation Conversations::create(std::int64_t userId, const std::string& model)
{
    const auto now = nowMs();
    Conversation c{randomHex(12), "新对话", model, now, now};
    auto lock = db.lock();
    Transaction tx(db);
    const auto held = static_cast<std::size_t>(
        single(db.prepare("SELECT COUNT(*) FROM conversations WHERE user_id = ?", userId)));
    if (held >= limits.maxConversations &&
        purgeDeleted(db, userId, static_cast<std::int64_t>(held - limits.maxConversations + 1)) <
            static_cast<std::int64_t>(held - limits.maxConversations + 1))
        throw Refusal(RefusalKind::limitReached, "对话数量已达上限（" +
                                                     std::to_string(limits.maxConversations) +
                                                     " 个），请删除一些旧对话后再试。");
    db.prepare("INSERT INTO conversations (id, user_id, title, model, created_ms, updated_ms) "
               "VALUES (?, ?, ?, ?, ?, ?)",
               c.id, userId, c.title, c.model, now, now)
        .run();
    tx.commit();
    return c;
}

void Conversations::checkRoom(std::int64_t userId, std::size_t bytes)
{
    const std::string stored = "SELECT stored_bytes FROM users WHERE id = ?";
    const auto room = limits.maxStoredBytes - static_cast<std::int64_t>(bytes);
    {
        auto reader = db.reader();
        if (single(reader.prepare(stored, userId)) <= room)
            return;
    }
    auto fits = [&] { return single(db.prepare(stored, userId)) <= room; };
    auto lock = db.lock();
    Transaction tx(db);
    // Oldest deleted first, one at a time, until the prompt fits; if it never does, the
    // refusal rolls the removals back.
    while (!fits() && purgeDeleted(db, userId, 1) > 0) {
    }
    if (!fits())
        throw Refusal(RefusalKind::limitReached, "存储空间已用完（上限 " +
                                                     sizeText(limits.maxStoredBytes) +
                                                     "），请删除一些旧对话后再试。");
    tx.commit();
}

std::vector<Conversation> Conversations::list(std::int64_t userId)
{
    auto reader = db.reader();
    auto st = reader.prepare(
        std::string(columns) +
            "WHERE user_id = ? AND deleted_ms IS NULL ORDER BY updated_ms DESC, rowid DESC",
        userId);
    std::vector<Conversation> out;
    while (st.step())
        out.push_back(readConversation(st));
    return out;
}

std::optional<Conversation> Conversations::find(std::int64_t userId, const std::string& id)
{
    auto reader = db.reader();
    auto st = reader.prepare(
        std::string(columns) + "WHERE id = ? AND user_id = ? AND deleted_ms IS NULL", id, userId);
    if (!st.step())
        return std::nullopt;
    return readConversation(st);
}

std::vector<Message> Conversations::messages(const std::string& conversationId)
{
    auto reader = db.reader();
    auto st = reader.prepare("SELECT role, content, truncated FROM messages "
                             "WHERE conversation_id = ? ORDER BY id",
                             conversationId);
    std::vector<Message> out;
    while (st.step())
        out.push_back(Message{st.text(0), st.text(1), st.int64(2) != 0});
    return out;
}

std::vector<Message> Conversations::recentMessages(const std::string& conversationId)
{
    auto reader = db.reader();
    auto st = reader.prepare("SELECT role, content, truncated FROM messages "
                             "WHERE conversation_id = ? ORDER BY id DESC LIMIT ?",
                             conversationId, static_cast<std::int64_t>(maxHistoryMessages));
    std::vector<Message> newestFirst;
    std::size_t bytes = 0;
    while (st.step()) {
        Message m{st.text(0), st.text(1), st.int64(2) != 0};
        bytes += m.content.size();
        if (bytes > maxHistoryBytes)
            break;
        newestFirst.push_back(std::move(m));
    }
    // A model reads a conversation from a prompt on: a reply whose prompt fell outside goes.
    while (!newestFirst.empty() && newestFirst.back().role != "user")
        newestFirst.pop_back();
    std::reverse(newestFirst.begin(), newestFirst.end());
    return newestFirst;
}

std::optional<std::string> Conversations::rename(std::int64_t userId, const std::string& id,
                                                 const std::string& title)
{
    const std::string stored = normalizedTitle(title, maxTitleLength);
    auto lock = db.lock();
    if (db.prepare("UPDATE conversations SET title = ?, renamed = 1 "
                   "WHERE id = ? AND user_id = ? AND deleted_ms IS NULL",
                   stored, id, userId)
            .run() == 0)
        return std::nullopt;
    return stored;
}

bool Conversations::remove(std::int64_t userId, const std::string& id)
{
    auto lock = db.lock();
    return db.prepare("UPDATE conversations SET deleted_ms = ? "
                      "WHERE id = ? AND user_id = ? AND deleted_ms IS NULL",
                      nowMs(), id, userId)
               .run() > 0;
}

} // namespace kestrune
