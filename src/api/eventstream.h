#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>

// One complete server-sent event as the client reads it.
struct StreamEvent
{
    QByteArray name;  // text after "event:", trimmed; empty when the block has none
    QJsonObject data; // the joined "data:" pieces as a JSON object, empty if not an object
};

// Appends `incoming` to `buffer`, folds CRLF to LF, removes every complete block
// (ended by a blank line) from the front and returns them in order. Bytes of an
// unfinished block stay in `buffer`.
QList<StreamEvent> takeStreamEvents(QByteArray& buffer, const QByteArray& incoming);
