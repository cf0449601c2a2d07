#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrune
{

class Database;

inline constexpr std::size_t maxSearchQueryCodePoints = 100;
inline constexpr std::size_t defaultSearchResults = 20;
inline constexpr std::size_t maxSearchResults = 50;

// One turn whose text holds the query.
struct SearchHit {
    std::string conversationId;
    std::string title;
    std::string role;
    std::string snippet; // one line around the first match, "…" where it was cut
    // Each match in the snippet: its start and length, in code points.
    std::vector<std::pair<std::size_t, std::size_t>> matches;
    std::int64_t createdMs = 0;
};

nlohmann::json searchHitJson(const SearchHit& hit);

// A message's text as search reads it: the marks of bold, underline, strike-through and code
// ("**", "__", "~~", "`") taken out, so that "**重要**结论" is found as "重要结论".
std::string plainText(std::string_view markdown);

// The user's turns whose plain text contains `query` (ASCII letters regardless of case),
// newest first, at
// most `limit`, from conversations not deleted. A query of three or more characters is looked
// up in the engine's text index; a shorter one, which no such index serves, by a scan of the
// user's own turns.
std::vector<SearchHit> searchTurns(Database& db, std::int64_t userId, const std::string& query,
                                   std::size_t limit);

// The snippet and matches of `content` for `query` (exposed for tests); no matches when the
// text does not hold it.
SearchHit snippetOf(const std::string& content, const std::string& query);

} // namespace kestrune
