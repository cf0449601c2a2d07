#pragma once

#include <QByteArray>
#include <QList>

// One complete server-sent event: the name after the last "event:" and the "data:" pieces
// joined, both trimmed.
struct StreamEvent {
    QByteArray name;
    QByteArray data;
};

// The reading of a reply stream written the plain way, step by step as the stream's format
// describes it, for the tests to hold the client's fast decoder against: append, fold every
// CRLF of the whole buffer, cut blocks at blank lines, read their lines. Every block, whatever
// its name; the unfinished rest stays in `buffer`.
QList<StreamEvent> referenceStreamEvents(QByteArray& buffer, const QByteArray& incoming);
