#include "api/eventstream.h"

#include "api/flatjson.h"

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

const char* findByte(const char* from, const char* end, char c)
{
    return static_cast<const char*>(std::memchr(from, c, size_t(end - from)));
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

QList<ReplyEvent> takeReplyEvents(QByteArray& buffer, QByteArrayView incoming)
{
    QList<ReplyEvent> events;
    // A short event takes some sixty bytes: room for those of a large piece at once. (Small
    // pieces, mostly without a whole event, are better off with no list at all.)
    if (incoming.size() >= 256)
        events.reserve(incoming.size() / 64);
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
