#include "streamedreply.h"

#include <QBrush>
#include <QColor>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextEdit>

void appendStreamedFragment(QTextEdit* transcript, const QString& text, bool& replyStarted)
{
    // One cursor move and one insertion: a fragment never re-parses what is already shown.
    QTextCursor cursor = transcript->textCursor();
    cursor.movePosition(QTextCursor::End);
    if (!replyStarted) {
        QTextCharFormat header;
        header.setForeground(QColor(0x2c, 0x7d, 0x87));
        header.setFontWeight(600);
        cursor.insertText(QStringLiteral("✳  KestruneAI\n"), header);
        replyStarted = true;
    }
    QTextCharFormat body;
    body.setForeground(QColor(0x20, 0x3c, 0x50));
    cursor.insertText(text, body);
    transcript->setTextCursor(cursor);
    transcript->ensureCursorVisible();
}
