#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QJsonObject>
#include <QLatin1StringView>
#include <QList>
#include <QString>

// One complete server-sent event as the client reads it.
struct StreamEvent {
    QByteArray name; // text after the last "event:", trimmed; empty when the block has none
    QByteArray data; // the trimmed "data:" pieces joined without separator, still JSON text
};

// Appends `incoming` to `buffer`, folds CRLF to LF, removes every complete block
// (ended by a blank line) from the front and returns them in order. Bytes of an
// unfinished block stay in `buffer`.
//
// `buffer` must only ever be changed by this function (or takeReplyEvents): it relies on
// the rest it left behind holding no complete block and no CRLF pair, so each call looks
// at new bytes only and a stream fed one byte at a time costs no more than the same stream
// in one piece.
QList<StreamEvent> takeStreamEvents(QByteArray& buffer, const QByteArray& incoming);

// An event of a reply stream as the client acts on it.
struct ReplyEvent {
    enum class Kind { Delta, Done, Error };
    Kind kind = Kind::Delta;
    QString text;    // Delta: eventString(data, "text"); Error: eventString(data, "error")
    QByteArray data; // Done: the data, for eventObject
};

// takeStreamEvents, keeping only the "delta", "done" and "error" events, in order, with
// the text of each "delta" and "error" already read. Each block's data is read where it
// lies in `buffer`: no copy of it is made for a "delta".
QList<ReplyEvent> takeReplyEvents(QByteArray& buffer, QByteArrayView incoming);

// The event of one block (the bytes before its blank line, LF line ends).
StreamEvent parseStreamBlock(QByteArrayView block);

// The event's data as a JSON object: empty when the data is empty, not JSON or no object.
QJsonObject eventObject(const QByteArray& data);

// The member `key` of eventObject(data) read as a string (empty when missing or not a
// string). Small flat objects, every "delta" among them, are read without building the
// object; anything else goes through eventObject, so the result is always the same.
QString eventString(QByteArrayView data, QLatin1StringView key);
