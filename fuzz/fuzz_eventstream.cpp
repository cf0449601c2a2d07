// The reply-stream decoder: the same bytes give the same events however they are split.
// The input's first bytes choose the split points; the rest is the stream.

#include "api/eventstream.h"

#include <QByteArray>
#include <QList>

#include <cstdint>
#include <cstdlib>

namespace
{

bool sameEvents(const QList<ReplyEvent>& a, const QList<ReplyEvent>& b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (a[i].kind != b[i].kind || a[i].text != b[i].text || a[i].data != b[i].data)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const uint8_t* splits = data;
    const QByteArrayView stream(reinterpret_cast<const char*>(data + 4), qsizetype(size - 4));

    QByteArray wholeBuffer;
    const QList<ReplyEvent> whole = takeReplyEvents(wholeBuffer, stream);

    // Pieces of 1 to 16 bytes, their lengths drawn from the four leading bytes in turn.
    QByteArray pieceBuffer;
    QList<ReplyEvent> pieces;
    qsizetype at = 0;
    for (int k = 0; at < stream.size(); ++k) {
        const qsizetype length =
            qMin<qsizetype>(1 + splits[k % 4] % 16 + k % 3, stream.size() - at);
        pieces += takeReplyEvents(pieceBuffer, stream.sliced(at, length));
        at += length;
    }

    QByteArray byteBuffer;
    QList<ReplyEvent> bytes;
    for (qsizetype i = 0; i < stream.size(); ++i)
        bytes += takeReplyEvents(byteBuffer, stream.sliced(i, 1));

    if (!sameEvents(whole, pieces) || !sameEvents(whole, bytes) || wholeBuffer != pieceBuffer ||
        wholeBuffer != byteBuffer)
        std::abort();
    return 0;
}
