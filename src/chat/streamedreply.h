#pragma once

#include <QString>

class QTextEdit;

// Appends one streamed fragment of a reply at the end of the transcript as plain text,
// preceded by the reply header the first time (`replyStarted` false, then set). The next
// full redraw of the transcript replaces all of it with the rendered reply.
void appendStreamedFragment(QTextEdit* transcript, const QString& text, bool& replyStarted);
