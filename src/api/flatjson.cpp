#include "api/flatjson.h"

#include <QJsonDocument>
#include <QtEndian>

#include <cstdint>
#include <cstring>
#include <utility>

namespace
{

// A reading of one JSON text that either vouches for its answer or declines.
enum class Scan { Found, Absent, Declined };

bool isJsonSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

void skipSpace(const char*& at, const char* end)
{
    while (at < end && isJsonSpace(*at))
        ++at;
}

// Four hex digits after "\u", as the full parser reads them.
bool readHex(const uchar* at, const uchar* end, char16_t& unit)
{
    if (end - at < 4)
        return false;
    unit = 0;
    for (int i = 0; i < 4; ++i) {
        const uchar c = at[i];
        unit <<= 4;
        if (c >= '0' && c <= '9')
            unit |= char16_t(c - '0');
        else if (c >= 'a' && c <= 'f')
            unit |= char16_t(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            unit |= char16_t(c - 'A' + 10);
        else
            return false;
    }
    return true;
}

// How many of eight bytes (the first in the lowest bits), from the first on, are printable
// ASCII other than '"' and '\': copied without looking at each byte. Each test below may
// also flag bytes after a true hit, never one before it, so the count is exact.
int plainAsciiPrefix(std::uint64_t bytes)
{
    constexpr std::uint64_t ones = 0x0101010101010101;
    constexpr std::uint64_t highs = 0x8080808080808080;
    const auto hasZero = [](std::uint64_t v) { return (v - ones) & ~v & highs; };
    const std::uint64_t special = (bytes & highs) | ((bytes - 0x20 * ones) & ~bytes & highs) |
                                  hasZero(bytes ^ ('"' * ones)) | hasZero(bytes ^ ('\\' * ones));
    return special == 0 ? 8 : int(qCountTrailingZeroBits(special) / 8);
}

bool isContinuation(uchar c)
{
    return (c & 0xc0) == 0x80;
}

// Reads a string from just after its opening quote up to its closing quote (`at` is left
// on it), resolving escapes and writing UTF-16 to `out` when Store. Declines (false) what
// the full parser treats in its own way or refuses: control characters, bytes that are
// not UTF-8 of a character (the whole object would read as empty).
// A \u escape gives its code unit as it is, as the full parser does.
template <bool Store> bool decodeString(const uchar*& from, const uchar* const end, char16_t*& to)
{
    // Local copies stay in registers; written back once at the closing quote.
    const uchar* at = from;
    char16_t* out = to;
    const auto put = [&out](char16_t unit) {
        if constexpr (Store)
            *out++ = unit;
        else
            (void)out; // only the storing reader writes through it
    };
    for (;;) {
        // A run of plain ASCII: eight bytes at a time, then byte by byte. All eight are
        // written; those past the run are written over next (`out` has a unit per byte left).
        while (end - at >= 8) {
            const auto plain = plainAsciiPrefix(qFromLittleEndian<std::uint64_t>(at));
            if constexpr (Store) {
                for (int i = 0; i < 8; ++i)
                    out[i] = at[i];
                out += plain;
            }
            at += plain;
            if (plain < 8)
                break;
        }
        while (at < end && *at >= 0x20 && *at < 0x80 && *at != '"' && *at != '\\')
            put(*at++);
        if (at == end)
            return false;

        if (*at < 0x80) {
            if (*at == '"') {
                from = at;
                to = out;
                return true;
            }
            if (*at < 0x20 || end - at < 2)
                return false;
            char16_t unit = 0;
            switch (at[1]) { // after a backslash
            case '"':
            case '\\':
            case '/':
                unit = at[1];
                break;
            case 'b':
                unit = '\b';
                break;
            case 'f':
                unit = '\f';
                break;
            case 'n':
                unit = '\n';
                break;
            case 'r':
                unit = '\r';
                break;
            case 't':
                unit = '\t';
                break;
            case 'u':
                if (!readHex(at + 2, end, unit))
                    return false;
                at += 4;
                break;
            default:
                return false;
            }
            put(unit);
            at += 2;
            continue;
        }

        // A run of characters beyond ASCII.
        do {
            const uchar c = *at;
            if (c >= 0xe0 && c < 0xf0) { // most of them: Chinese text
                if (end - at < 3 || !isContinuation(at[1]) || !isContinuation(at[2]))
                    return false;
                const auto point =
                    char16_t((c & 0x0f) << 12 | (at[1] & 0x3f) << 6 | (at[2] & 0x3f));
                if (point < 0x800 || QChar::isSurrogate(point))
                    return false;
                put(point);
                at += 3;
            } else if (c >= 0xc2 && c < 0xe0) {
                if (end - at < 2 || !isContinuation(at[1]))
                    return false;
                put(char16_t((c & 0x1f) << 6 | (at[1] & 0x3f)));
                at += 2;
            } else if (c >= 0xf0 && c < 0xf5) {
                if (end - at < 4 || !isContinuation(at[1]) || !isContinuation(at[2]) ||
                    !isContinuation(at[3]))
                    return false;
                const char32_t point = char32_t(c & 0x07) << 18 | char32_t(at[1] & 0x3f) << 12 |
                                       char32_t(at[2] & 0x3f) << 6 | (at[3] & 0x3f);
                if (point < 0x10000 || point > 0x10ffff)
                    return false;
                put(QChar::highSurrogate(point));
                put(QChar::lowSurrogate(point));
                at += 4;
            } else { // a continuation byte, the start of an overlong form, or no UTF-8 at all
                return false;
            }
        } while (at < end && *at >= 0x80);
    }
}

// Reads the string whose opening quote `at` is on, into `out` when given: straight from
// the bytes into one string of UTF-16, in one pass. A leading byte order mark is left to
// the full parser, whose reading of it depends on the rest of the string.
bool readString(const char*& at, const char* end, QString* out)
{
    const auto* from = reinterpret_cast<const uchar*>(at) + 1;
    const auto* bytesEnd = reinterpret_cast<const uchar*>(end);
    if (bytesEnd - from >= 3 && from[0] == 0xef && from[1] == 0xbb && from[2] == 0xbf)
        return false;
    const uchar* quote = from;
    if (out) {
        // Never more code units than bytes: sized once, cut to length at the end.
        QString decoded(bytesEnd - from, Qt::Uninitialized);
        auto* const first = reinterpret_cast<char16_t*>(decoded.data());
        char16_t* last = first;
        if (!decodeString<true>(quote, bytesEnd, last))
            return false;
        decoded.truncate(last - first);
        *out = std::move(decoded);
    } else {
        char16_t* none = nullptr;
        if (!decodeString<false>(quote, bytesEnd, none))
            return false;
    }
    at = reinterpret_cast<const char*>(quote) + 1;
    return true;
}

bool readLiteral(const char*& at, const char* end)
{
    for (const char* literal : {"true", "false", "null"}) {
        const auto length = qsizetype(std::strlen(literal));
        if (end - at >= length && std::memcmp(at, literal, size_t(length)) == 0) {
            at += length;
            return true;
        }
    }
    return false;
}

// One object whose members are strings, true, false or null, each name once at most.
// Anything else (numbers, nesting, repeated names, a syntax error) is declined.
Scan scanFlatObject(QByteArrayView json, QLatin1StringView key, QString* value)
{
    const char* at = json.data();
    const char* end = at + json.size();
    skipSpace(at, end);
    if (at == end || *at != '{')
        return Scan::Declined;
    ++at;
    skipSpace(at, end);
    Scan result = Scan::Absent;
    if (at < end && *at == '}') {
        ++at;
    } else {
        for (;;) {
            if (at == end || *at != '"')
                return Scan::Declined;
            const char* nameStart = at + 1;
            if (!readString(at, end, nullptr))
                return Scan::Declined;
            const QByteArrayView name(nameStart, at - 1 - nameStart);
            if (name.contains('\\'))
                return Scan::Declined;
            skipSpace(at, end);
            if (at == end || *at != ':')
                return Scan::Declined;
            ++at;
            skipSpace(at, end);
            const bool wanted = name == QByteArrayView(key.data(), key.size());
            if (wanted && result == Scan::Found)
                return Scan::Declined;
            if (at < end && *at == '"') {
                if (!readString(at, end, wanted ? value : nullptr))
                    return Scan::Declined;
            } else if (readLiteral(at, end)) {
                if (wanted)
                    value->clear(); // not a string: reads as empty
            } else {
                return Scan::Declined;
            }
            if (wanted)
                result = Scan::Found;
            skipSpace(at, end);
            if (at < end && *at == ',') {
                ++at;
                skipSpace(at, end);
                continue;
            }
            if (at < end && *at == '}') {
                ++at;
                break;
            }
            return Scan::Declined;
        }
    }
    skipSpace(at, end);
    return at == end ? result : Scan::Declined;
}

} // namespace

QJsonObject eventObject(const QByteArray& data)
{
    if (data.isEmpty())
        return {};
    const QJsonDocument document = QJsonDocument::fromJson(data);
    return document.isObject() ? document.object() : QJsonObject();
}

QString eventString(QByteArrayView data, QLatin1StringView key)
{
    QString value;
    switch (scanFlatObject(data, key, &value)) {
    case Scan::Found:
        return value;
    case Scan::Absent:
        return {};
    case Scan::Declined:
        break;
    }
    return eventObject(data.toByteArray()).value(key).toString();
}
