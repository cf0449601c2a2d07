#pragma once

#include "accounts.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kestrune
{

class Database;

// The price of a reply: ceil(characters × pointsPer100 / 100), characters being Unicode code
// points of the reply text. A product past 64 bits reads as a price no balance pays.
std::int64_t chargeFor(std::size_t characters, int pointsPer100);

// The longest reply (in code points) whose charge fits into `balance`.
std::size_t affordableCharacters(std::int64_t balance, int pointsPer100);

struct TurnToSettle {
    std::int64_t userId = 0;
    std::string model;
    int pointsPer100 = 0;
    std::string conversationId; // empty for a private turn: nothing of it is stored
    std::string prompt;
    std::string reply;
    bool truncated = false;
    std::string holdId; // the reply's hold, emptied in the same transaction
};

struct Settlement {
    std::string content; // the reply as charged and stored
    bool truncated = false;
    std::int64_t charged = 0;
    std::int64_t balance = 0;
};

// Charges the reply and, for a cloud conversation that is still there, appends prompt and
// reply, in one transaction: a failure (disk full) leaves neither. The balance is read again
// inside the transaction, so concurrent streams of one user can never take it below zero: a
// reply that no longer fits is cut to what the balance still pays for. Returns nothing when not
// a single character can be paid for.
std::optional<Settlement> settleTurn(Database& db, const TurnToSettle& turn);

} // namespace kestrune
