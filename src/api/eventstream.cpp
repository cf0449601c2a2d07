#include "eventstream.h"

#include <QJsonDocument>

#include <cstring>

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

// Reads the string whose opening quote `at` is on, into `out` when given. Declines what
// the full parser treats in its own way: control characters, \u escapes and bytes that
// are not UTF-8 (the full parser refuses those, so the whole object would read as empty).
bool readString(const char*& at, const char* end, QString* out)
{
    const char* const start = ++at;
    // Most strings hold no escape: find the closing quote at once and check the bytes
    // before it in one branch-free pass.
    const auto* quote = static_cast<const char*>(std::memchr(start, '"', size_t(end - start)));
    if (!quote)
        return false;
    if (!std::memchr(start, '\\', size_t(quote - start))) {
        unsigned char control = 0;
        unsigned char high = 0;
        for (const char* p = start; p < quote; ++p) {
            const auto c = static_cast<unsigned char>(*p);
            control |= c < 0x20;
            high |= c & 0x80;
        }
        if (control)
            return false;
        at = quote + 1;
        if (out) {
            *out = QString::fromUtf8(start, quote - start);
            if (high && out->contains(QChar::ReplacementCharacter) &&
                !QByteArrayView(start, quote - start).isValidUtf8())
                return false;
        } else if (high && !QByteArrayView(start, quote - start).isValidUtf8()) {
            return false;
        }
        return true;
    }

    const char* run = start;
    QString decoded;
    bool escaped = false;
    bool wide = false; // holds bytes beyond ASCII
    for (; at < end; ++at) {
        const auto c = static_cast<unsigned char>(*at);
        if (c >= 0x80) {
            wide = true;
            continue;
        }
        if (c == '"')
            break;
        if (c < 0x20)
            return false;
        if (c != '\\')
            continue;
        if (at + 1 >= end)
            return false;
        char replacement = 0;
        switch (at[1]) {
        case '"':
            replacement = '"';
            break;
        case '\\':
            replacement = '\\';
            break;
        case '/':
            replacement = '/';
            break;
        case 'b':
            replacement = '\b';
            break;
        case 'f':
            replacement = '\f';
            break;
        case 'n':
            replacement = '\n';
            break;
        case 'r':
            replacement = '\r';
            break;
        case 't':
            replacement = '\t';
            break;
        default:
            return false;
        }
        if (out) {
            decoded += QString::fromUtf8(run, at - run);
            decoded += QLatin1Char(replacement);
        }
        escaped = true;
        ++at;
        run = at + 1;
    }
    if (at >= end)
        return false;
    if (out) {
        *out =
            escaped ? decoded + QString::fromUtf8(run, at - run) : QString::fromUtf8(run, at - run);
        // Conversion marks every bad sequence with U+FFFD: only then is a check needed.
        if (wide && out->contains(QChar::ReplacementCharacter) &&
            !QByteArrayView(start, at - start).isValidUtf8())
            return false;
    } else if (wide && !QByteArrayView(start, at - start).isValidUtf8()) {
        return false;
    }
    ++at;
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

} // namespace

StreamEvent parseStreamBlock(QByteArrayView block)
{
    StreamEvent event;
    const char* at = block.data();
    const char* end = at + block.size();
    while (at < end) {
        const auto* lineFeed = static_cast<const char*>(std::memchr(at, '\n', size_t(end - at)));
        const char* lineEnd = lineFeed ? lineFeed : end;
        const QByteArrayView line(at, lineEnd - at);
        if (line.startsWith("event:"))
            event.name = eventName(line.sliced(6).trimmed());
        else if (line.startsWith("data:"))
            event.data.append(line.sliced(5).trimmed());
        at = lineEnd + 1;
    }
    return event;
}

QList<StreamEvent> takeStreamEvents(QByteArray& buffer, const QByteArray& incoming)
{
    const qsizetype oldSize = buffer.size();
    buffer.append(incoming);
    // What was already there is folded and holds no blank line; only its last byte (a CR
    // waiting for its LF) or the LF before it can pair with the new bytes.
    foldLineEnds(buffer, qMax<qsizetype>(0, oldSize - 1));

    QList<StreamEvent> events;
    qsizetype consumed = 0;
    qsizetype blank = findBlankLine(buffer, qMax<qsizetype>(0, oldSize - 2));
    while (blank >= 0) {
        events.append(
            parseStreamBlock(QByteArrayView(buffer.constData() + consumed, blank - consumed)));
        consumed = blank + 2;
        blank = findBlankLine(buffer, consumed);
    }
    if (consumed > 0)
        buffer.remove(0, consumed);
    return events;
}

QJsonObject eventObject(const QByteArray& data)
{
    if (data.isEmpty())
        return {};
    const QJsonDocument document = QJsonDocument::fromJson(data);
    return document.isObject() ? document.object() : QJsonObject();
}

QString eventString(const QByteArray& data, QLatin1StringView key)
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
    return eventObject(data).value(key).toString();
}
