#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kestrune
{

class Database;

// One change of an account's points, as the ledger keeps it.
struct BalanceChange {
    std::int64_t userId = 0;
    std::int64_t delta = 0;     // negative for a charge
    std::string reason;         // "initial", "grant", "reply", "private reply"
    std::string model;          // the model of a reply, else empty
    std::string conversationId; // the conversation of a cloud reply, else empty
};

// The account's points, or nothing when there is no such account. With the database lock held.
std::optional<std::int64_t> balanceOf(Database& db, std::int64_t userId);

// Applies the change to the balance and records it in the ledger, with the database lock held
// and inside the caller's transaction.
void changeBalance(Database& db, const BalanceChange& change, std::int64_t now);

} // namespace kestrune
