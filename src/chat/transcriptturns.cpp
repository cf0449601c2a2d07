#include "chat/transcriptturns.h"

#include "chat/streamedreply.h"
#include "chat/transcript.h"

#include <QJsonObject>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFrame>

#include <algorithm>

TranscriptTurns::TranscriptTurns(QTextBrowser* pane) : pane(pane) {}

void TranscriptTurns::draw(const QJsonArray& messages)
{
    turnStarts = drawTranscript(pane, messages, scale);
    drawnMessages = messages;
    drawnLength = pane->document()->characterCount();
    replyStarted = false;
    streamed.clear();
}

void TranscriptTurns::redraw()
{
    const QString reply = streamed;
    draw(drawnMessages);
    if (!reply.isEmpty())
        appendStreamed(reply);
}

void TranscriptTurns::forget()
{
    turnStarts.clear();
    drawnMessages = QJsonArray();
    drawnLength = 0;
    replyStarted = false;
    streamed.clear();
}

void TranscriptTurns::appendStreamed(const QString& text)
{
    appendStreamedFragment(pane, text, replyStarted);
    streamed += text;
}

void TranscriptTurns::removeStreamedReply()
{
    if (!replyStarted)
        return;
    // The reply's finished lines may have moved into the frame of the drawn turns, which
    // ended right before it: a selection may not end in a frame it does not start in, so that
    // part and the part after the frame go one after the other.
    QTextDocument* document = pane->document();
    const int replyStart = drawnLength - 1;
    QTextCursor cursor(document);
    QTextFrame* turns = document->frameAt(replyStart - 1);
    if (turns != document->rootFrame() && turns->lastPosition() > replyStart - 1) {
        cursor.setPosition(replyStart - 1);
        cursor.setPosition(turns->lastPosition(), QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    cursor.setPosition(replyStart);
    cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    replyStarted = false;
    streamed.clear();
}

int TranscriptTurns::replyAt(int position) const
{
    // The last start is where the drawn turns end; a reply streaming in lies beyond it.
    if (turnStarts.size() < 2 || position >= turnStarts.last())
        return -1;
    const auto after = std::upper_bound(turnStarts.cbegin(), turnStarts.cend() - 1, position);
    const int index = int(after - turnStarts.cbegin()) - 1;
    if (index < 0 || index >= drawnMessages.size())
        return -1;
    const bool assistant =
        drawnMessages.at(index).toObject().value("role").toString() == QLatin1String("assistant");
    return assistant ? index : -1;
}
