#include "search.h"

#include "storage.h"
#include "text.h"

#include <algorithm>

namespace kestrune
{

namespace
{

constexpr std::size_t contextBefore = 30;
constexpr std::size_t snippetCodePoints = 120;
constexpr std::size_t maxMarkedMatches = 10;
// Asked for beyond the limit: the engines' case folding reaches further than ASCII, and what
// the check here drops must not leave the page short.
constexpr std::size_t spareRows = 8;

std::u32string decode(std::string_view text)
{
    std::u32string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::size_t length = byte < 0x80 ? 1 : byte < 0xe0 ? 2 : byte < 0xf0 ? 3 : 4;
        char32_t point = length == 1 ? byte : byte & (0x7f >> length);
        for (std::size_t k = 1; k < length && i + k < text.size(); ++k)
            point = (point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3f);
        out.push_back(point);
        i += length;
    }
    return out;
}

std::string encode(std::u32string_view points)
{
    std::string out;
    out.reserve(points.size());
    for (const char32_t p : points) {
        if (p < 0x80) {
            out.push_back(static_cast<char>(p));
        } else if (p < 0x800) {
            out.push_back(static_cast<char>(0xc0 | (p >> 6)));
            out.push_back(static_cast<char>(0x80 | (p & 0x3f)));
        } else if (p < 0x10000) {
            out.push_back(static_cast<char>(0xe0 | (p >> 12)));
            out.push_back(static_cast<char>(0x80 | ((p >> 6) & 0x3f)));
            out.push_back(static_cast<char>(0x80 | (p & 0x3f)));
        } else {
            out.push_back(static_cast<char>(0xf0 | (p >> 18)));
            out.push_back(static_cast<char>(0x80 | ((p >> 12) & 0x3f)));
            out.push_back(static_cast<char>(0x80 | ((p >> 6) & 0x3f)));
            out.push_back(static_cast<char>(0x80 | (p & 0x3f)));
        }
    }
    return out;
}

char32_t folded(char32_t c)
{
    return c >= U'A' && c <= U'Z' ? c - U'A' + U'a' : c;
}

std::u32string foldedText(std::u32string text)
{
    std::transform(text.begin(), text.end(), text.begin(), folded);
    return text;
}

// The message text as search reads it, in SQL: the same as plainText.
constexpr const char* plainColumn =
    "replace(replace(replace(replace(m.content, '**', ''), '__', ''), '~~', ''), '`', '')";

bool hasAsciiLetter(std::string_view text)
{
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); });
}

// The query as the text index reads a phrase: in double quotes, its own quotes doubled.
std::string ftsPhrase(const std::string& query)
{
    std::string phrase = "\"";
    for (const char c : query) {
        phrase.push_back(c);
        if (c == '"')
            phrase.push_back('"');
    }
    return phrase + "\"";
}

// A LIKE pattern that finds `query` anywhere, its own wildcards taken as they are.
std::string containsPattern(const std::string& query)
{
    std::string pattern = "%";
    for (const char c : query) {
        if (c == '%' || c == '_' || c == '\\')
            pattern.push_back('\\');
        pattern.push_back(c);
    }
    return pattern + "%";
}

} // namespace

std::string plainText(std::string_view markdown)
{
    std::string out;
    out.reserve(markdown.size());
    for (std::size_t i = 0; i < markdown.size(); ++i) {
        const std::string_view rest = markdown.substr(i);
        if (rest.starts_with("**") || rest.starts_with("__") || rest.starts_with("~~")) {
            ++i;
            continue;
        }
        if (markdown[i] != '`')
            out.push_back(markdown[i]);
    }
    return out;
}

nlohmann::json searchHitJson(const SearchHit& hit)
{
    nlohmann::json matches = nlohmann::json::array();
    for (const auto& [start, length] : hit.matches)
        matches.push_back({start, length});
    return {{"conversation_id", hit.conversationId},
            {"title", hit.title},
            {"role", hit.role},
            {"snippet", hit.snippet},
            {"matches", matches},
            {"created_at", hit.createdMs}};
}

SearchHit snippetOf(const std::string& content, const std::string& query)
{
    SearchHit hit;
    const std::u32string text = decode(content);
    const std::u32string needle = foldedText(decode(query));
    const std::u32string haystack = foldedText(text);
    const std::size_t first = needle.empty() ? std::u32string::npos : haystack.find(needle);
    if (first == std::u32string::npos)
        return hit;
    const std::size_t begin = first > contextBefore ? first - contextBefore : 0;
    const std::size_t end =
        std::min(text.size(), begin + std::max(snippetCodePoints, needle.size() + contextBefore));
    std::u32string snippet = begin > 0 ? U"…" : U"";
    const std::size_t shift = snippet.size();
    for (std::size_t i = begin; i < end; ++i) {
        const char32_t c = text[i];
        snippet.push_back(c == U'\n' || c == U'\r' || c == U'\t' ? U' ' : c);
    }
    if (end < text.size())
        snippet += U"…";
    for (std::size_t at = first; at != std::u32string::npos && at + needle.size() <= end &&
                                 hit.matches.size() < maxMarkedMatches;
         at = haystack.find(needle, at + needle.size()))
        hit.matches.emplace_back(at - begin + shift, needle.size());
    hit.snippet = encode(snippet);
    return hit;
}

std::vector<SearchHit> searchTurns(Database& db, std::int64_t userId, const std::string& query,
                                   std::size_t limit)
{
    const bool indexed = codePointCount(query) >= 3;
    const bool postgres = db.engineName() == "postgresql";
    std::string sql = "SELECT m.conversation_id, c.title, m.role, m.content, m.created_ms "
                      "FROM messages m JOIN conversations c ON c.id = m.conversation_id ";
    std::string argument;
    if (postgres && !indexed && !hasAsciiLetter(query)) {
        // No index serves so short a query, and nothing in it has a case: a plain search for
        // the bytes, several times quicker than ILIKE on every turn.
        sql += "WHERE c.user_id = ? AND c.deleted_ms IS NULL AND strpos(" +
               std::string(plainColumn) + ", ?) > 0 ";
        argument = query;
    } else if (postgres) {
        // The trigram index serves ILIKE from three characters on; a shorter pattern scans.
        sql += "WHERE c.user_id = ? AND c.deleted_ms IS NULL AND " + std::string(plainColumn) +
               " ILIKE ? ESCAPE '\\' ";
        argument = containsPattern(query);
    } else if (indexed) {
        sql = "SELECT m.conversation_id, c.title, m.role, m.content, m.created_ms "
              "FROM message_search JOIN messages m ON m.id = message_search.rowid "
              "JOIN conversations c ON c.id = m.conversation_id "
              "WHERE c.user_id = ? AND c.deleted_ms IS NULL AND message_search MATCH ? ";
        argument = ftsPhrase(query);
    } else {
        // Newest message first, stopping at the limit: a frequent character is found in the
        // first few hundred turns instead of among all of them, sorted afterwards.
        sql = "SELECT m.conversation_id, c.title, m.role, m.content, m.created_ms "
              "FROM messages m CROSS JOIN conversations c ON c.id = m.conversation_id "
              "WHERE c.user_id = ? AND c.deleted_ms IS NULL AND " +
              std::string(plainColumn) + " LIKE ? ESCAPE '\\' ";
        argument = containsPattern(query);
    }
    // The index hands its rows out newest first by itself.
    sql += indexed && !postgres ? "ORDER BY message_search.rowid DESC LIMIT ?"
                                : "ORDER BY m.id DESC LIMIT ?";

    auto reader = db.reader();
    // Each candidate is checked again here, so that every engine finds exactly the same.
    auto st = reader.prepare(sql, userId, argument, static_cast<std::int64_t>(limit + spareRows));
    std::vector<SearchHit> hits;
    while (hits.size() < limit && st.step()) {
        SearchHit hit = snippetOf(plainText(st.text(3)), query);
        if (hit.matches.empty())
            continue;
        hit.conversationId = st.text(0);
        hit.title = st.text(1);
        hit.role = st.text(2);
        hit.createdMs = st.int64(4);
        hits.push_back(std::move(hit));
    }
    return hits;
}

} // namespace kestrune
