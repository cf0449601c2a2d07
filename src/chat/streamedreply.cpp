#include "chat/streamedreply.h"

#include "chat/transcript.h"

#include <QTextBlock>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextFrame>
#include <QTextLayout>

#include <utility>

namespace
{

// Finished lines wait below the drawn turns until this many can move in at once.
constexpr int linesMovedTogether = 8;
// The lines the turns' frame holds outside its inner frames stay at most this many.
constexpr int looseLinesAtMost = 100;

// A block of no set direction is scanned for one at every layout. The streamed text runs left
// to right (right-to-left runs inside a line still read correctly); the finished reply is
// drawn anew.
QTextBlockFormat leftToRight()
{
    QTextBlockFormat format;
    format.setLayoutDirection(Qt::LeftToRight);
    return format;
}

// Keeps the shaped glyphs of the block the reply grows in, for the cursor and the scrolling
// after each fragment; any change to the block's text or formats drops them. The next
// fragments go to the same block, so setting it once per fragment is enough.
void keepGlyphs(const QTextCursor& cursor)
{
    cursor.block().layout()->setCacheEnabled(true);
}

// One top-level line's look and text, to be written again elsewhere.
struct Line {
    QTextBlockFormat format;
    QTextCharFormat charFormat; // what the line's empty end is drawn in
    QList<std::pair<QString, QTextCharFormat>> runs;
};

// The frame of the drawn turns, if it is the last top-level one and lines at its end would
// look as they do after it.
QTextFrame* drawnTurnsAbove(QTextDocument* document)
{
    const QList<QTextFrame*> frames = document->rootFrame()->childFrames();
    if (frames.isEmpty() || !holdsDrawnTurns(frames.last()) ||
        frames.last()->frameFormat().bottomMargin() != 0)
        return nullptr;
    return frames.last();
}

// The lines `frame` holds outside the frames inside it, which its layout passes over one by one.
int looseLines(QTextDocument* document, QTextFrame* frame)
{
    const auto lines = [document](const QTextFrame* within) {
        return document->findBlock(within->lastPosition()).blockNumber() -
               document->findBlock(within->firstPosition()).blockNumber() + 1;
    };
    int loose = lines(frame);
    for (const QTextFrame* inner : frame->childFrames())
        loose -= lines(inner);
    return loose;
}

// After each fragment the toolkit lays the text out again from the last of the marks it sets
// every 2,000 pixels down the document, passing over each line up to the edit; in a long
// transcript that mark is at the reply's header, so each fragment would pass over every line
// the reply has so far. A frame that did not change is passed over in one step: so the
// finished lines, the header first, move to the end of the frame that holds the drawn turns.
// Its end then stands in for the line break before the current line, so every character
// keeps its position and the text looks as it did. A move lays that frame out again, so lines
// move eight at a time; and past a hundred lines they stay outside, where the toolkit's marks
// keep each pass short.
void moveFinishedLines(QTextDocument* document)
{
    QTextFrame* turns = drawnTurnsAbove(document);
    if (!turns)
        return;
    const int from = turns->lastPosition() + 1;
    const QTextBlock current = document->lastBlock();
    const int finished = current.blockNumber() - document->findBlock(from).blockNumber();
    if (finished < linesMovedTogether || looseLines(document, turns) + finished > looseLinesAtMost)
        return;

    QList<Line> lines;
    for (QTextBlock block = document->findBlock(from); block != current; block = block.next()) {
        Line line{block.blockFormat(), block.charFormat(), {}};
        for (auto run = block.begin(); !run.atEnd(); ++run)
            line.runs.append({run.fragment().text(), run.fragment().charFormat()});
        lines.append(line);
    }
    const QTextBlockFormat currentFormat = current.blockFormat();
    const QTextCharFormat currentCharFormat = current.charFormat();

    QTextCursor cursor(document);
    cursor.setPosition(from);
    cursor.setPosition(current.position(), QTextCursor::KeepAnchor);
    cursor.removeSelectedText(); // the current line now starts right after the frame
    cursor.setBlockFormat(currentFormat);
    cursor.setBlockCharFormat(currentCharFormat);
    cursor.setPosition(turns->lastPosition());
    for (const Line& line : lines) {
        cursor.insertBlock(line.format, line.charFormat);
        for (const auto& [text, format] : line.runs)
            cursor.insertText(text, format);
    }
}

} // namespace

void appendStreamedFragment(QTextEdit* transcript, const QString& text, bool& replyStarted)
{
    QTextDocument* document = transcript->document();
    QTextCursor cursor = transcript->textCursor();
    cursor.movePosition(QTextCursor::End);
    // One edit: the text is laid out once per fragment, with its lines already moved.
    cursor.beginEditBlock();
    if (!replyStarted) {
        cursor.mergeBlockFormat(leftToRight());
        cursor.insertText(turnTitle(true) + QLatin1Char('\n'), turnHeaderFormat(true));
        replyStarted = true;
    }
    const int blocks = document->blockCount();
    cursor.insertText(text, turnTextFormat());
    if (document->blockCount() > blocks)
        moveFinishedLines(document);
    cursor.endEditBlock();
    cursor.movePosition(QTextCursor::End);
    keepGlyphs(cursor);
    transcript->setTextCursor(cursor); // also scrolls it into view
}
