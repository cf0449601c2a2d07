#include "streamingpane.h"

#include "chat/streamedreply.h"
#include "chat/transcript.h"

#include <QJsonObject>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFrame>

#include <chrono>

QJsonArray streamingConversation(int turns, bool tables)
{
    QJsonArray messages;
    for (int i = 0; i < turns; ++i) {
        if (i % 2 == 0) {
            messages.append(QJsonObject{
                {"role", "user"},
                {"content",
                 QStringLiteral("第 %1 个问题：这段代码为什么慢？**请**解释。").arg(i)}});
            continue;
        }
        messages.append(QJsonObject{
            {"role", "assistant"},
            {"content", QStringLiteral("## 回答 %1\n\n原因有两点：\n\n- 每次都重新解析\n"
                                       "- 布局在每个块后都重做\n\n```cpp\nfor (auto& x : v)\n"
                                       "    sum += x;\n```\n\n%2")
                            .arg(i)
                            .arg(tables ? QStringLiteral("| 方法 | 耗时 |\n|---|---|\n"
                                                         "| 旧 | 慢 |\n| 新 | 快 |\n")
                                        : QStringLiteral("结论：改为一次布局。\n"))}});
    }
    messages.append(QJsonObject{{"role", "user"}, {"content", QStringLiteral("再详细说说。")}});
    return messages;
}

StreamingPane::StreamingPane(int turns, bool tables)
{
    pane.resize(820, 560);
    pane.show();
    drawTranscript(&pane, streamingConversation(turns, tables));
    drawnLength = pane.document()->characterCount();
    replyStart = drawnLength - 1;
}

void StreamingPane::takeReplyAway()
{
    // The reply's finished lines may have moved into the frame of the drawn turns, which ended
    // right before it: a selection may not end in a frame it does not start in, so that part
    // and the part after the frame go one after the other.
    QTextDocument* document = pane.document();
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
    if (document->characterCount() != drawnLength)
        qFatal("the streamed reply was not taken away whole");
    replyStarted = false;
    inReply = 0;
}

double StreamingPane::append()
{
    static const QString fragments[] = {QStringLiteral("流式"), QStringLiteral("片段 ok "),
                                        QStringLiteral("逐字显示，"), QStringLiteral("tokens\n"),
                                        QStringLiteral("回复")};
    const QString& text = fragments[inReply % 5];
    const auto start = std::chrono::steady_clock::now();
    appendStreamedFragment(&pane, text, replyStarted);
    const auto end = std::chrono::steady_clock::now();
    if (++inReply == fragmentsPerReply)
        takeReplyAway();
    return std::chrono::duration<double, std::micro>(end - start).count();
}
