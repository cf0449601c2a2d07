#include "eventstream.h"

#include <QJsonDocument>

#include <cstdint>
#include <cstring>
#include <utility>

namespace
{

// Position of the first "\n\n" at or after `from`, or -1.
qsizetype findBlankLine(const QByteArray& bytes, qsizetype from)
{
    const char* begin = bytes.constData();
    const char* end = begin + bytes.size();
    const char* at = begin + from;
    while (at < end) {
        const auto* lineFeed = static_cast<const char*>(std::memchr(at, '\n', size_t(end - at)));
        if (!lineFeed || lineFeed + 1 >= end)
            return -1;
        if (lineFeed[1] == '\n')
            return lineFeed - begin;
        at = lineFeed + 1;
    }
    return -1;
}

// Drops the CR of every CRLF pair from `from` on, in one pass, in place.
void foldLineEnds(QByteArray& bytes, qsizetype from)
{
    const qsizetype size = bytes.size();
    const char* begin = bytes.constData();
    const void* firstReturn = std::memchr(begin + from, '\r', size_t(size - from));
    if (!firstReturn)
        return;
    qsizetype in = static_cast<const char*>(firstReturn) - begin;
    char* data = bytes.data(); // may detach: offsets only from here on
    qsizetype out = in;
    while (in < size) {
        // `in` is on a CR: drop it when an LF follows, then copy up to the next CR.
        if (in + 1 < size && data[in + 1] == '\n')
            ++in;
        const auto* nextReturn =
            static_cast<const char*>(std::memchr(data + in + 1, '\r', size_t(size - in - 1)));
        const qsizetype runEnd = nextReturn ? nextReturn - data : size;
        std::memmove(data + out, data + in, size_t(runEnd - in));
        out += runEnd - in;
        in = runEnd;
    }
    bytes.truncate(out);
}

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

const char* findByte(const char* from, const char* end, char c)
{
    return static_cast<const char*>(std::memchr(from, c, size_t(end - from)));
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

// Whether eight bytes are all printable ASCII other than '"' and '\': the common case,
// copied without looking at each byte. A false alarm only costs one slow step.
bool plainAscii(std::uint64_t bytes)
{
    constexpr std::uint64_t ones = 0x0101010101010101;
    constexpr std::uint64_t highs = 0x8080808080808080;
    const auto hasZero = [](std::uint64_t v) { return (v - ones) & ~v & highs; };
    const std::uint64_t special = (bytes & highs) | ((bytes - 0x20 * ones) & ~bytes & highs) |
                                  hasZero(bytes ^ ('"' * ones)) | hasZero(bytes ^ ('\\' * ones));
    return special == 0;
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
    };
    for (;;) {
        // A run of plain ASCII: eight bytes at a time, then byte by byte.
        while (end - at >= 8) {
            std::uint64_t word;
            std::memcpy(&word, at, 8);
            if (!plainAscii(word))
                break;
            if constexpr (Store) {
                for (int i = 0; i < 8; ++i)
                    out[i] = at[i];
                out += 8;
            }
            at += 8;
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

// The names the client acts on share static bytes: no allocation per event for them.
QByteArray eventName(QByteArrayView name)
{
    for (const char* known : {"delta", "done", "error"}) {
        if (name == known)
            return QByteArray::fromRawData(known, qsizetype(std::strlen(known)));
    }
    return name.toByteArray();
}

template <qsizetype N> bool hasPrefix(QByteArrayView line, const char (&prefix)[N])
{
    return line.size() >= N - 1 && std::memcmp(line.data(), prefix, N - 1) == 0;
}

// QByteArrayView::trimmed, inline: it runs for every line.
QByteArrayView trimmedField(QByteArrayView text)
{
    const auto isSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    const char* begin = text.data();
    const char* end = begin + text.size();
    while (begin < end && isSpace(*begin))
        ++begin;
    while (end > begin && isSpace(end[-1]))
        --end;
    return QByteArrayView(begin, end - begin);
}

// The fields of one block, read line by line. The data is nearly always one line: it is
// then only viewed where it lies, and copied only when there are several pieces to join.
class BlockFields
{
public:
    explicit BlockFields(QByteArray& scratch) : joined(scratch) {}

    void readLine(QByteArrayView line)
    {
        if (hasPrefix(line, "event:")) {
            name = trimmedField(line.sliced(6));
        } else if (hasPrefix(line, "data:")) {
            const QByteArrayView piece = trimmedField(line.sliced(5));
            if (++pieces == 1) {
                data = piece;
                return;
            }
            if (pieces == 2) {
                joined.truncate(0); // keeps the capacity of earlier blocks
                joined.append(data);
            }
            joined.append(piece);
            data = joined;
        }
    }

    // Every line of a block that holds no blank line.
    void readLines(const char* at, const char* end)
    {
        while (at < end) {
            const char* lineFeed = findByte(at, end, '\n');
            const char* lineEnd = lineFeed ? lineFeed : end;
            readLine(QByteArrayView(at, lineEnd - at));
            at = lineEnd + 1;
        }
    }

    QByteArrayView name;
    QByteArrayView data;

private:
    QByteArray& joined;
    int pieces = 0;
};

// Appends and folds the new bytes, hands every complete block's fields to `visit` (valid
// during the call only) and drops those blocks from `buffer` with one move at the end.
template <typename Visit> void takeBlocks(QByteArray& buffer, QByteArrayView incoming, Visit visit)
{
    const qsizetype oldSize = buffer.size();
    buffer.append(incoming);
    // What was already there is folded and holds no blank line; only its last byte (a CR
    // waiting for its LF) or the LF before it can pair with the new bytes.
    foldLineEnds(buffer, qMax<qsizetype>(0, oldSize - 1));

    const qsizetype firstEnd = findBlankLine(buffer, qMax<qsizetype>(0, oldSize - 2));
    if (firstEnd < 0)
        return;
    QByteArray joined;
    const char* const begin = buffer.constData();
    const char* const end = begin + buffer.size();
    {
        BlockFields fields(joined);
        fields.readLines(begin, begin + firstEnd);
        visit(fields);
    }
    // The blocks after the first lie wholly in the new bytes: one pass over each finds its
    // lines and its end together.
    const char* next = begin + firstEnd + 2;
    for (;;) {
        BlockFields fields(joined);
        const char* line = next;
        const char* lineFeed = nullptr;
        while ((lineFeed = findByte(line, end, '\n')) && lineFeed + 1 < end) {
            fields.readLine(QByteArrayView(line, lineFeed - line));
            if (lineFeed[1] == '\n')
                break;
            line = lineFeed + 1;
        }
        if (!lineFeed || lineFeed + 1 >= end)
            break; // unfinished: it stays for the next call
        visit(fields);
        next = lineFeed + 2;
    }
    buffer.remove(0, next - begin);
}

} // namespace

StreamEvent parseStreamBlock(QByteArrayView block)
{
    QByteArray joined;
    BlockFields fields(joined);
    fields.readLines(block.data(), block.data() + block.size());
    return {eventName(fields.name), fields.data.toByteArray()};
}

QList<StreamEvent> takeStreamEvents(QByteArray& buffer, const QByteArray& incoming)
{
    QList<StreamEvent> events;
    takeBlocks(buffer, incoming, [&events](const BlockFields& fields) {
        events.append({eventName(fields.name), fields.data.toByteArray()});
    });
    return events;
}

QList<ReplyEvent> takeReplyEvents(QByteArray& buffer, QByteArrayView incoming)
{
    QList<ReplyEvent> events;
    takeBlocks(buffer, incoming, [&events](const BlockFields& fields) {
        ReplyEvent event;
        if (fields.name == "delta") {
            event.text = eventString(fields.data, QLatin1StringView("text"));
        } else if (fields.name == "done") {
            event.kind = ReplyEvent::Kind::Done;
            event.data = fields.data.toByteArray();
        } else if (fields.name == "error") {
            event.kind = ReplyEvent::Kind::Error;
            event.text = eventString(fields.data, QLatin1StringView("error"));
        } else {
            return; // not one the client acts on
        }
        events.append(std::move(event));
    });
    return events;
}

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
