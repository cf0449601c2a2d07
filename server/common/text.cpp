#include "text.h"

#include <cstdint>
#include <cstdio>

namespace kestrune
{
namespace
{

bool isContinuation(unsigned char c)
{
    return (c & 0xC0) == 0x80;
}

// Decodes the code point starting at `pos` and advances `pos` past it.
char32_t decode(std::string_view s, std::size_t& pos)
{
    const auto c = static_cast<unsigned char>(s[pos]);
    std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : 4;
    char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    std::size_t i = 1;
    for (; i < len && pos + i < s.size() && isContinuation(static_cast<unsigned char>(s[pos + i]));
         ++i)
        cp = (cp << 6) | (static_cast<unsigned char>(s[pos + i]) & 0x3F);
    pos += i;
    return cp;
}

bool isSpace(char32_t cp)
{
    switch (cp) {
    case U'\t':
    case U'\n':
    case U'\v':
    case U'\f':
    case U'\r':
    case U' ':
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
    case 0xFEFF:
        return true;
    default:
        return cp >= 0x2000 && cp <= 0x200A;
    }
}

bool isControl(char32_t cp)
{
    return cp < 0x20 || (cp >= 0x7F && cp < 0xA0);
}

// Invisible format characters that can reorder or hide what a one-line title shows: the
// bidirectional embeddings, overrides, isolates and marks, zero-width spaces and joiners of
// words, invisible operators, annotation marks and tags. The zero-width (non-)joiners that
// scripts and emoji sequences need stay.
bool isHiddenFormat(char32_t cp)
{
    return cp == 0xAD || cp == 0x61C || cp == 0x180E || cp == 0x200B || cp == 0x200E ||
           cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2060 && cp <= 0x206F) ||
           (cp >= 0xFFF9 && cp <= 0xFFFB) || (cp >= 0xE0000 && cp <= 0xE007F);
}

bool isAsciiAlnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Sentence punctuation after which a fragment may end even without a space.
bool endsPhrase(char32_t cp)
{
    return cp == U'，' || cp == U'。' || cp == U'！' || cp == U'？' || cp == U'；' || cp == U'：' ||
           cp == U'、';
}

} // namespace

std::size_t codePointCount(std::string_view text)
{
    std::size_t n = 0;
    for (char c : text)
        n += isContinuation(static_cast<unsigned char>(c)) ? 0 : 1;
    return n;
}

std::string_view firstCodePoints(std::string_view text, std::size_t count)
{
    std::size_t pos = 0;
    for (std::size_t i = 0; i < count && pos < text.size(); ++i)
        decode(text, pos);
    return text.substr(0, pos);
}

std::string trimmed(std::string_view text)
{
    std::size_t begin = text.size(), end = 0, pos = 0;
    while (pos < text.size()) {
        const std::size_t start = pos;
        if (!isSpace(decode(text, pos))) {
            if (begin == text.size())
                begin = start;
            end = pos;
        }
    }
    return begin < end ? std::string(text.substr(begin, end - begin)) : std::string();
}

std::string normalizedTitle(std::string_view text, std::size_t maxCodePoints)
{
    std::string out;
    bool pendingSpace = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t start = pos;
        const char32_t cp = decode(text, pos);
        if (isHiddenFormat(cp))
            continue;
        if (isSpace(cp) || isControl(cp)) {
            pendingSpace = !out.empty();
            continue;
        }
        if (pendingSpace)
            out += ' ';
        pendingSpace = false;
        out.append(text.substr(start, pos - start));
    }
    return trimmed(firstCodePoints(out, maxCodePoints));
}

std::string titleFromPrompt(std::string_view prompt)
{
    constexpr std::size_t limit = 30;
    std::string title = normalizedTitle(prompt, limit + 1);
    if (codePointCount(title) > limit)
        title = trimmed(firstCodePoints(title, limit)) + "…";
    return title.empty() ? std::string("新对话") : title;
}

bool isValidUsername(std::string_view name)
{
    if (name.size() < 3 || name.size() > 32)
        return false;
    for (char c : name)
        if (!isAsciiAlnum(c) && c != '_')
            return false;
    return true;
}

bool isPlausibleEmail(std::string_view email)
{
    // Conservative on purpose: the address ends up in a mail header, so anything that could
    // break the header (spaces, angle brackets, line breaks, commas) is refused.
    if (email.size() < 6 || email.size() > 254)
        return false;
    const auto at = email.find('@');
    if (at == std::string_view::npos || at == 0 || at > 64 || email.find('@', at + 1) != email.npos)
        return false;
    constexpr std::string_view localExtra = ".!#$%&'*+/=?^_`{|}~-";
    const auto local = email.substr(0, at);
    if (local.front() == '.' || local.back() == '.' || local.find("..") != local.npos)
        return false;
    for (char c : local)
        if (!isAsciiAlnum(c) && localExtra.find(c) == localExtra.npos)
            return false;
    const auto domain = email.substr(at + 1);
    std::size_t labels = 0, start = 0;
    while (start <= domain.size()) {
        auto dot = domain.find('.', start);
        if (dot == domain.npos)
            dot = domain.size();
        const auto label = domain.substr(start, dot - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (char c : label)
            if (!isAsciiAlnum(c) && c != '-')
                return false;
        ++labels;
        start = dot + 1;
    }
    const auto tld = domain.substr(domain.rfind('.') + 1);
    bool tldHasLetter = false;
    for (char c : tld)
        tldHasLetter = tldHasLetter || !(c >= '0' && c <= '9');
    return labels >= 2 && tld.size() >= 2 && tldHasLetter;
}

bool isSixDigitCode(std::string_view code)
{
    if (code.size() != 6)
        return false;
    for (char c : code)
        if (c < '0' || c > '9')
            return false;
    return true;
}

std::vector<std::string> streamPieces(std::string_view text)
{
    constexpr std::size_t maxPiece = 8;
    std::vector<std::string> pieces;
    std::string piece;
    std::size_t count = 0, pos = 0;
    while (pos < text.size()) {
        const std::size_t start = pos;
        const char32_t cp = decode(text, pos);
        piece.append(text.substr(start, pos - start));
        ++count;
        if (count >= maxPiece || ((isSpace(cp) || endsPhrase(cp)) && count >= 3)) {
            pieces.push_back(std::move(piece));
            piece.clear();
            count = 0;
        }
    }
    if (!piece.empty())
        pieces.push_back(std::move(piece));
    return pieces;
}

std::string asciiLower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string printable(std::string_view text, std::size_t maxBytes)
{
    std::string out;
    for (char c : text.substr(0, maxBytes)) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", u);
            out += buf;
        } else {
            out += c;
        }
    }
    if (text.size() > maxBytes)
        out += "...";
    return out;
}

} // namespace kestrune
