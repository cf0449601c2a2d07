#include "streamedreply.h"

#include <QBrush>
#include <QColor>
#include <QTextBlock>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextEdit>
#include <QTextLayout>

namespace
{

// The block the reply grows in is shaped once per fragment for its layout; keeping the
// glyphs lets the cursor's position and the scrolling reuse them instead of shaping it
// again. Any change to the block's text or formats drops them. Set on the block the cursor
// ends in, it holds for the next fragments, which go to the same block.
void keepGlyphs(const QTextCursor& cursor)
{
    cursor.block().layout()->setCacheEnabled(true);
}

} // namespace

void appendStreamedFragment(QTextEdit* transcript, const QString& text, bool& replyStarted)
{
    // One cursor move and one insertion: a fragment never re-parses what is already shown.
    QTextCursor cursor = transcript->textCursor();
    cursor.movePosition(QTextCursor::End);
    if (!replyStarted) {
        // Every fragment lays the reply's blocks out again, and a block without a direction
        // of its own has its text looked up and scanned for one each time, which costs more
        // the longer the transcript. The streamed text runs left to right (right-to-left
        // runs inside a line still read correctly); the finished reply is drawn anew.
        QTextBlockFormat direction;
        direction.setLayoutDirection(Qt::LeftToRight);
        cursor.mergeBlockFormat(direction);
        QTextCharFormat header;
        header.setForeground(QColor(0x2c, 0x7d, 0x87));
        header.setFontWeight(600);
        cursor.insertText(QStringLiteral("✳  KestruneAI\n"), header);
        keepGlyphs(cursor);
        replyStarted = true;
    }
    QTextCharFormat body;
    body.setForeground(QColor(0x20, 0x3c, 0x50));
    cursor.insertText(text, body);
    keepGlyphs(cursor);
    transcript->setTextCursor(cursor); // also scrolls it into view
}
