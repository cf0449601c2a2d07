#pragma once

#include "chat/markdownview.h"
#include "chat/transcriptturns.h"

#include <QJsonArray>

// A reply is ~200 fragments long; then it is taken away again, as the final redraw does.
constexpr int fragmentsPerReply = 200;

// A conversation of `turns` drawn turns and the prompt just sent. `tables`: every reply also
// carries a table (each table is a text frame of its own).
QJsonArray streamingConversation(int turns, bool tables);

// A shown transcript, about the workspace's, with a reply streaming into it.
class StreamingPane
{
public:
    StreamingPane(int turns, bool tables);

    // Appends the next fragment; returns how long that took, in microseconds.
    double append();

private:
    MarkdownView pane;
    TranscriptTurns shown;
    int drawnLength = 0;
    int inReply = 0;
};
