#pragma once

#include <QString>

class QTextDocument;

// The text of the code block drawn at `position` in a transcript, without its fences, lines
// joined by "\n"; a null string when the position is not inside a code block.
QString codeBlockTextAt(const QTextDocument* document, int position);
