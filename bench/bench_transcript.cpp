#include "chat/markdownview.h"
#include "chat/transcript.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonObject>

#include <benchmark/benchmark.h>

namespace
{

// A conversation like a working session: short user prompts, replies with a heading, a
// table, a task list and a code block. `salt` keeps two conversations' replies distinct.
QJsonArray conversation(int turns, int salt)
{
    QJsonArray messages;
    for (int i = 0; i < turns; ++i) {
        QString content;
        if (i % 2 == 0) {
            content = QStringLiteral("第 %1 个问题：请比较 **两种** 排序方法，并给出示例代码。\n"
                                     "附加说明 %2")
                          .arg(i)
                          .arg(salt);
            messages.append(QJsonObject{{"role", "user"}, {"content", content}});
            continue;
        }
        content = QStringLiteral("## 回答 %1.%2\n\n"
                                 "下面是 *简要* 对比，~~旧说法~~已更正。\n\n"
                                 "| 方法 | 平均 | 最坏 |\n|---|---|---|\n"
                                 "| 快速排序 | n log n | n² |\n| 归并排序 | n log n | n log n |\n"
                                 "| 堆排序 | n log n | n log n |\n\n"
                                 "- [x] 已检查边界\n- [ ] 补充测试\n- 普通条目\n\n"
                                 "```cpp\nstd::sort(v.begin(), v.end()); // %1\n"
                                 "for (int x : v)\n    total += x;\n```\n\n"
                                 "1. 第一步\n2. 第二步\n\n> 引用一句话。\n")
                      .arg(i)
                      .arg(salt);
        messages.append(QJsonObject{{"role", "assistant"}, {"content", content}});
    }
    return messages;
}

// Shown, like the workspace's pane, so layout costs what it costs on screen.
MarkdownView* benchPane = nullptr;

MarkdownView& pane()
{
    return *benchPane;
}

// Opening conversations one after another: every reply is new to the pane.
void BM_DrawTranscriptOpen(benchmark::State& state)
{
    const int turns = int(state.range(0));
    const QJsonArray first = conversation(turns, 1);
    const QJsonArray second = conversation(turns, 2);
    bool flip = false;
    for (auto _ : state) {
        drawTranscript(&pane(), flip ? first : second);
        flip = !flip;
    }
    state.SetComplexityN(turns);
}

// The redraw after a completed reply: the same conversation plus one new turn.
void BM_DrawTranscriptReply(benchmark::State& state)
{
    const int turns = int(state.range(0));
    const QJsonArray base = conversation(turns, 3);
    int n = 0;
    for (auto _ : state) {
        QJsonArray messages = base;
        messages.append(
            QJsonObject{{"role", "assistant"},
                        {"content", QStringLiteral("新回复 %1 | a |\n|---|\n").arg(++n)}});
        drawTranscript(&pane(), messages);
    }
    state.SetComplexityN(turns);
}

// Opening a conversation from the start page: the pane shows no scroll bar yet.
void BM_DrawTranscriptFromStartPage(benchmark::State& state)
{
    const int turns = int(state.range(0));
    const QJsonArray first = conversation(turns, 4);
    const QJsonArray second = conversation(turns, 5);
    bool flip = false;
    for (auto _ : state) {
        state.PauseTiming();
        pane().setHtml(QStringLiteral("<p>从一个问题开始。</p>"));
        state.ResumeTiming();
        drawTranscript(&pane(), flip ? first : second);
        flip = !flip;
    }
    state.SetComplexityN(turns);
}

} // namespace

BENCHMARK(BM_DrawTranscriptFromStartPage)->Arg(200)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DrawTranscriptOpen)
    ->Arg(10)
    ->Arg(200)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();
BENCHMARK(BM_DrawTranscriptReply)
    ->Arg(10)
    ->Arg(200)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    MarkdownView view;
    view.resize(820, 600);
    view.show();
    benchPane = &view;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
