// One streamed fragment appended at the end of a transcript that already shows 10 or
// 1,000 rendered turns. The cost must not grow with the transcript: every fragment is one
// cursor move and one insertion at the end. Prints the median per fragment and the ratio.

#include "markdownview.h"
#include "streamedreply.h"
#include "transcript.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QPair>
#include <QTextCursor>
#include <QTextDocument>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace
{

// A reply is ~200 fragments long; then it is taken away again, as the final redraw does.
constexpr int fragmentsPerReply = 200;

// `tables`: every reply also carries a table (each table is a text frame of its own).
QJsonArray conversation(int turns, bool tables)
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
    return messages;
}

MarkdownView* benchPane = nullptr;
QMap<QPair<bool, int>, double> medianMicroseconds;

void BM_AppendFragment(benchmark::State& state)
{
    const bool tables = state.range(0) != 0;
    const int turns = int(state.range(1));
    MarkdownView& pane = *benchPane;
    drawTranscript(&pane, conversation(turns, tables));
    const int replyStart = pane.document()->characterCount() - 1;

    static const QString fragments[] = {QStringLiteral("流式"), QStringLiteral("片段 ok "),
                                        QStringLiteral("逐字显示，"), QStringLiteral("tokens\n"),
                                        QStringLiteral("回复")};
    std::vector<double> samples;
    samples.reserve(1 << 16);
    bool replyStarted = false;
    int inReply = 0;
    for (auto _ : state) {
        const QString& text = fragments[samples.size() % 5];
        const auto start = std::chrono::steady_clock::now();
        appendStreamedFragment(&pane, text, replyStarted);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        samples.push_back(seconds * 1e6);
        if (++inReply == fragmentsPerReply) {
            QTextCursor cursor(pane.document());
            cursor.setPosition(replyStart);
            cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
            cursor.removeSelectedText();
            replyStarted = false;
            inReply = 0;
        }
    }
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    const double median = samples[samples.size() / 2];
    state.counters["median_us"] = median;
    medianMicroseconds[{tables, turns}] = median; // the last, measured run wins
}

BENCHMARK(BM_AppendFragment)
    ->ArgNames({"tables", "turns"})
    ->Args({0, 10})
    ->Args({0, 1000})
    ->Args({1, 10})
    ->Args({1, 1000})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    MarkdownView pane;
    pane.resize(820, 560); // about the workspace's transcript
    pane.show();
    benchPane = &pane;

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    for (bool tables : {false, true}) {
        if (!medianMicroseconds.contains({tables, 10}) ||
            !medianMicroseconds.contains({tables, 1000}))
            continue;
        const double small = medianMicroseconds[{tables, 10}];
        const double large = medianMicroseconds[{tables, 1000}];
        const double ratio = large / small;
        std::printf("fragment append median, replies %s: %.1f us at 10 turns, %.1f us at 1000 "
                    "turns, ratio %.2f (goal: ratio <= 1.5 and <= 50 us): %s\n",
                    tables ? "with a table each" : "without tables", small, large, ratio,
                    ratio <= 1.5 && large <= 50 && small <= 50 ? "met" : "NOT met");
    }
    return 0;
}
