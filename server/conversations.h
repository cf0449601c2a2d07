#pragma once

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
};

nlohmann::json conversationJson(const Conversation& conversation);

// Cloud conversations of each user. Every lookup is scoped to the owner: another user's id
// reads exactly like an unknown one.
class Conversations
{
public:
    static constexpr std::size_t maxTitleLength = 80;

    explicit Conversations(Database& db) : db(db) {}

    Conversation create(std::int64_t userId, const std::string& model);
    std::vector<Conversation> list(std::int64_t userId);
    std::optional<Conversation> find(std::int64_t userId, const std::string& id);
    std::vector<Message> messages(const std::string& conversationId);
    // Returns the stored title, or nothing when the conversation is not the user's.
    std::optional<std::string> rename(std::int64_t userId, const std::string& id,
                                      const std::string& title);
    // Hides the conversation from its owner. The record is kept (the client tells its users
    // that the service retains it); an operator can purge it with the admin command.
    bool remove(std::int64_t userId, const std::string& id);

private:
    Database& db;
};

} // namespace kestrune
