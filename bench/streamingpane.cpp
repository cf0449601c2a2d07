#include "streamingpane.h"

#include <QJsonObject>
#include <QTextDocument>

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

StreamingPane::StreamingPane(int turns, bool tables) : shown(&pane)
{
    pane.resize(820, 560);
    pane.show();
    shown.draw(streamingConversation(turns, tables));
    drawnLength = pane.document()->characterCount();
}

double StreamingPane::append()
{
    static const QString fragments[] = {QStringLiteral("流式"), QStringLiteral("片段 ok "),
                                        QStringLiteral("逐字显示，"), QStringLiteral("tokens\n"),
                                        QStringLiteral("回复")};
    const QString& text = fragments[inReply % 5];
    const auto start = std::chrono::steady_clock::now();
    shown.appendStreamed(text);
    const auto end = std::chrono::steady_clock::now();
    if (++inReply == fragmentsPerReply) {
        // As the redraw after a reply does, and more cheaply.
        shown.removeStreamedReply();
        if (pane.document()->characterCount() != drawnLength)
            qFatal("the streamed reply was not taken away whole");
        inReply = 0;
    }
    return std::chrono::duration<double, std::micro>(end - start).count();
}
