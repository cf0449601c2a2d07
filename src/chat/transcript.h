#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QTextCharFormat>
#include <QTextDocumentFragment>

class QJsonArray;
class QTextBrowser;
class QTextFrame;

// The look of a turn, defined here once: the header that names who speaks, in its colour and
// weight, and the colour of the text. A reply being streamed is drawn in these as they are;
// the drawn transcript sets its own sizes on top.
QString turnTitle(bool assistant); // "✳  KestruneAI" or "你"
QTextCharFormat turnHeaderFormat(bool assistant);
QTextCharFormat turnTextFormat();

// Rebuilds the whole pane from message records, oldest first: a coloured header per turn,
// user turns as plain text, assistant turns rendered from GitHub-flavoured Markdown; then
// scrolls to the end. The caller handles an empty conversation. Returns where each turn
// starts in the document, and last where the drawn turns end. `scale` multiplies the sizes
// the drawing sets (the zoom; the pane scales its own font).
QList<int> drawTranscript(QTextBrowser* pane, const QJsonArray& messages, qreal scale = 1);

// Where drawTranscript puts the invisible frames that hold a conversation's turns, per turn:
// whether a frame opens at the line break after its header, and whether one closes at the
// blank line after it (the innermost open one). Frames nest, and their edges stand in for
// exactly those line breaks, so the turns look as they would without them.
struct TurnFrames {
    QList<bool> opens;
    QList<bool> closes;
};
TurnFrames planTurnFrames(qsizetype turnCount);

// Whether `frame` is the one that holds all the turns drawTranscript drew.
bool holdsDrawnTurns(const QTextFrame* frame);

// The replies converted for the last drawing of one pane, owned by the pane. Every redraw
// after a reply would otherwise parse the whole conversation's Markdown again; what a
// drawing no longer uses is dropped, so it never holds more than one conversation.
class ReplyFragmentCache : public QObject
{
public:
    explicit ReplyFragmentCache(QObject* pane);

    static ReplyFragmentCache* of(QTextBrowser* pane); // created on first use

    QTextDocumentFragment fragment(const QString& markdown, qreal scale = 1);
    void finishDrawing();
    int conversions() const { return conversionCount; }

private:
    QHash<QString, QTextDocumentFragment> kept;
    QHash<QString, QTextDocumentFragment> used;
    qreal keptScale = 1;
    int conversionCount = 0;
};
