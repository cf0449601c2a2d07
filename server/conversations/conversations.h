#pragma once

#include "search.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrune
{

class Database;

struct Conversation {
    std::string id;
    std::string title;
    std::string model;
    std::int64_t createdMs = 0;
    std::int64_t updatedMs = 0;
};

struct Message {
    std::string role;
    std::string content;
    bool truncated = false; // a reply cut short (balance spent, client gone)
};

nlohmann::json conversationJson(const Conversation& conversation);
// A message record; "truncated" only on a reply that was cut short.
nlohmann::json messageJson(const Message& message);

// What one account may keep on the service. Deleted conversations count until they are gone
// for good: when an account reaches a bound, its oldest deleted conversations are removed to
// make room, so deleting frees room and the disk stays bounded.
struct StorageLimits {
    std::size_t maxConversations = 5000;
    std::int64_t maxStoredBytes = 100LL * 1024 * 1024; // message text, in UTF-8 bytes
};

// The turns a reply sees of a long conversation: the latest ones, within both bounds.
inline constexpr std::size_t maxHistoryMessages = 50;
inline constexpr std::size_t maxHistoryBytes = 256 * 1024;

struct TurnRecord {
    std::int64_t userId = 0;
    std::string conversationId;
    std::string prompt;
    std::string reply;
    bool truncated = false;
};

// Appends a prompt and its reply to the user's conversation, counts what they store and names
// a conversation the user has not renamed after its first prompt. Does nothing when the
// conversation is gone (deleted while the reply streamed). With the database lock held, inside
// the caller's transaction.
bool appendTurn(Database& db, const TurnRecord& turn, std::int64_t now);

// Removes deleted conversations for good, with their messages, and gives their room back to
// their accounts: all of them, or the `limit` oldest of one user's. Returns how many. With the
// database lock held, inside the caller's transaction.
std::int64_t purgeDeleted(Database& db, std::optional<std::int64_t> userId = std::nullopt,
                          std::int64_t limit = -1);

// Cloud conversations of each user. Every lookup is scoped to the owner: another user's id
// reads exactly like an unknown one.
class Conversations
{
public:
    static constexpr std::size_t maxTitleLength = 80;

    explicit Conversations(Database& db, StorageLimits limits = {}) : db(db), limits(limits) {}

    // Refuses (403) an account that holds its most conversations and has none deleted to
    // remove.
    Conversation create(std::int64_t userId, const std::string& model);
    std::vector<Conversation> list(std::int64_t userId);
    std::optional<Conversation> find(std::int64_t userId, const std::string& id);
    std::vector<Message> messages(const std::string& conversationId);
    // The latest messages within the history bounds, oldest first, starting with a prompt.
    std::vector<Message> recentMessages(const std::string& conversationId);
    // Refuses (403) a prompt of `bytes` that the account has no room to store, once its deleted
    // conversations are gone.
    void checkRoom(std::int64_t userId, std::size_t bytes);
    // Returns the stored title, or nothing when the conversation is not the user's.
    std::optional<std::string> rename(std::int64_t userId, const std::string& id,
                                      const std::string& title);
    // Hides the conversation from its owner. The record is kept (the client tells its users
    // that the service retains it) until the operator purges it or the account needs its room.
    bool remove(std::int64_t userId, const std::string& id);
    std::vector<SearchHit> search(std::int64_t userId, const std::string& query, std::size_t limit)
    {
        return searchTurns(db, userId, query, limit);
    }

private:
    Database& db;
    StorageLimits limits;
};

} // namespace kestrune
