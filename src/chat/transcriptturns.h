#pragma once

#include <QJsonArray>
#include <QList>
#include <QString>

class QTextBrowser;

// What the transcript pane shows, turn by turn: the message records last drawn, where each
// starts in the pane, and the reply that streams in below them until the next drawing.
class TranscriptTurns
{
public:
    explicit TranscriptTurns(QTextBrowser* pane);

    // Draws `messages` in the pane (drawTranscript) and remembers them.
    void draw(const QJsonArray& messages);
    // The pane shows something else than turns (the empty state).
    void forget();
    // The scale of the next drawings (the pane's zoom).
    void setScale(qreal factor) { scale = factor; }
    // Draws the same turns again, and the reply streaming in so far, at the current scale.
    void redraw();

    // Appends a fragment of the streaming reply; its header comes with the first one.
    void appendStreamed(const QString& text);
    // Takes the streamed reply out of the pane again, leaving the drawn turns as they were.
    void removeStreamedReply();

    const QJsonArray& drawn() const { return drawnMessages; }
    // The index among the drawn turns of the reply at document position `position`, or -1
    // there is none there (a user turn, the streaming reply, or past the end).
    int replyAt(int position) const;
    // Where drawn turn `index` starts in the pane; 0 for one that is not drawn.
    int turnStart(int index) const { return index >= 0 ? turnStarts.value(index, 0) : 0; }

private:
    QTextBrowser* pane;
    QJsonArray drawnMessages;
    QList<int> turnStarts; // and last where the drawn turns end
    int drawnLength = 0;   // the document's length right after drawing
    bool replyStarted = false;
    QString streamed; // the streaming reply's text so far
    qreal scale = 1;
};
