#pragma once

#include <QByteArray>
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
// `buffer` must only ever be changed by this function: it relies on the rest it left
// behind holding no complete block and no CRLF pair, so each call looks at new bytes
// only and a stream fed one byte at a time costs no more than the same stream in one piece.
QList<StreamEvent> takeStreamEvents(QByteArray& buffer, const QByteArray& incoming);

// The event of one block (the bytes before its blank line, LF line ends).
StreamEvent parseStreamBlock(QByteArrayView block);

// The event's data as a JSON object: empty when the data is empty, not JSON or no object.
QJsonObject eventObject(const QByteArray& data);

// The member `key` of eventObject(data) read as a string (empty when missing or not a
// string). Small flat objects, every "delta" among them, are read without building the
// object; anything else goes through eventObject, so the result is always the same.
QString eventString(const QByteArray& data, QLatin1StringView key);
