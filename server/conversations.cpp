#include "conversations.h"

#include "security.h"
#include "storage.h"
#include "text.h"

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

} // namespace

nlohmann::json conversationJson(const Conversation& c)
{
    return {{"id", c.id},
            {"title", c.title},
            {"model", c.model},
            {"created_at", isoTime(c.createdMs)},
            {"updated_at", isoTime(c.updatedMs)}};
}

Conversation Conversations::create(std::int64_t userId, const std::string& model)
{
    const auto now = nowMs();
    Conversation c{randomHex(12), "新对话", model, now, now};
    auto guard = db.lock();
    db.prepare("INSERT INTO conversations (id, user_id, title, model, created_ms, updated_ms) "
               "VALUES (?, ?, ?, ?, ?, ?)",
               c.id, userId, c.title, c.model, now, now)
        .run();
    return c;
}

std::vector<Conversation> Conversations::list(std::int64_t userId)
{
    auto guard = db.lock();
    auto st = db.prepare(
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
    auto guard = db.lock();
    auto st = db.prepare(
        std::string(columns) + "WHERE id = ? AND user_id = ? AND deleted_ms IS NULL", id, userId);
    if (!st.step())
        return std::nullopt;
    return readConversation(st);
}

std::vector<Message> Conversations::messages(const std::string& conversationId)
{
    auto guard = db.lock();
    auto st = db.prepare("SELECT role, content FROM messages WHERE conversation_id = ? ORDER BY id",
                         conversationId);
    std::vector<Message> out;
    while (st.step())
        out.push_back(Message{st.text(0), st.text(1)});
    return out;
}

std::optional<std::string> Conversations::rename(std::int64_t userId, const std::string& id,
                                                 const std::string& title)
{
    const std::string stored = normalizedTitle(title, maxTitleLength);
    auto guard = db.lock();
    db.prepare("UPDATE conversations SET title = ?, renamed = 1 "
               "WHERE id = ? AND user_id = ? AND deleted_ms IS NULL",
               stored, id, userId)
        .run();
    auto changed = db.prepare("SELECT changes()");
    changed.step();
    if (changed.int64(0) == 0)
        return std::nullopt;
    return stored;
}

bool Conversations::remove(std::int64_t userId, const std::string& id)
{
    auto guard = db.lock();
    db.prepare("UPDATE conversations SET deleted_ms = ? "
               "WHERE id = ? AND user_id = ? AND deleted_ms IS NULL",
               nowMs(), id, userId)
        .run();
    auto changed = db.prepare("SELECT changes()");
    changed.step();
    return changed.int64(0) > 0;
}

} // namespace kestrune
