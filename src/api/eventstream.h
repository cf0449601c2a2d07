#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

// An event of a reply stream as the client acts on it.
struct ReplyEvent {
    enum class Kind { Delta, Done, Error };
    Kind kind = Kind::Delta;
    QString text;    // Delta: the "text" of its data; Error: the "error" (flatjson.h)
    QByteArray data; // Done: the data, for eventObject
};

// Appends `incoming` to `buffer`, folds CRLF to LF, removes every complete block (ended by a
// blank line) from the front and returns the "delta", "done" and "error" events among them,
// in order. Bytes of an unfinished block stay in `buffer`. Each block's data is read where it
// lies in `buffer`: no copy of it is made for a "delta".
//
// `buffer` must only ever be changed by this function: it relies on the rest it left behind
// holding no complete block and no CRLF pair, so each call looks at new bytes only and a
// stream fed one byte at a time costs no more than the same stream in one piece.
QList<ReplyEvent> takeReplyEvents(QByteArray& buffer, QByteArrayView incoming);
