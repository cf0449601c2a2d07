#include "chat/streamedreply.h"

#include "chat/transcript.h"

#include <QTextBlock>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextEdit>
#include <QTextLayout>

namespace
{

// Keeps the shaped glyphs of the block the reply grows in, for the cursor and the scrolling
// after each fragment; any change to the block's text or formats drops them. The next
// fragments go to the same block, so setting it once per fragment is enough.
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
        // A block of no set direction is scanned for one at every layout. The streamed text
        // runs left to right (right-to-left runs inside a line still read correctly); the
        // finished reply is drawn anew.
        QTextBlockFormat direction;
        direction.setLayoutDirection(Qt::LeftToRight);
        cursor.mergeBlockFormat(direction);
        cursor.insertText(turnTitle(true) + QLatin1Char('\n'), turnHeaderFormat(true));
        keepGlyphs(cursor);
        replyStarted = true;
    }
    cursor.insertText(text, turnTextFormat());
    keepGlyphs(cursor);
    transcript->setTextCursor(cursor); // also scrolls it into view
}
