// One streamed fragment appended at the end of a transcript that already shows 10 or
// 1,000 rendered turns. The cost must not grow with the transcript: every fragment is one
// cursor move and one insertion at the end. Prints the median per fragment and the ratio.
//
// Each fragment goes to both transcripts, one right after the other, so that both medians
// are taken under the same load and clock speed: on a shared machine these drift by a
// factor of two within seconds, which would swamp a comparison of separate runs.

#include "chat/markdownview.h"
#include "chat/streamedreply.h"
#include "chat/transcript.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QTextCursor>
#include <QTextDocument>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

namespace
{

// A reply is ~200 fragments long; then it is taken away again, as the final redraw does.
constexpr int fragmentsPerReply = 200;
constexpr int smallTurns = 10;
constexpr int largeTurns = 1000;

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
    // The prompt just sent: the reply streams in under it.
    messages.append(QJsonObject{{"role", "user"}, {"content", QStringLiteral("再详细说说。")}});
    return messages;
}

// A shown transcript, about the workspace's, with a reply streaming into it.
class StreamingPane
{
public:
    StreamingPane(int turns, bool tables)
    {
        pane.resize(820, 560);
        pane.show();
        drawTranscript(&pane, conversation(turns, tables));
        replyStart = pane.document()->characterCount() - 1;
    }

    // Appends the next fragment; returns how long that took, in microseconds.
    double append()
    {
        static const QString fragments[] = {QStringLiteral("流式"), QStringLiteral("片段 ok "),
                                            QStringLiteral("逐字显示，"),
                                            QStringLiteral("tokens\n"), QStringLiteral("回复")};
        const QString& text = fragments[inReply % 5];
        const auto start = std::chrono::steady_clock::now();
        appendStreamedFragment(&pane, text, replyStarted);
        const auto end = std::chrono::steady_clock::now();
        if (++inReply == fragmentsPerReply) {
            QTextCursor cursor(pane.document());
            cursor.setPosition(replyStart);
            cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
            cursor.removeSelectedText();
            replyStarted = false;
            inReply = 0;
        }
        return std::chrono::duration<double, std::micro>(end - start).count();
    }

private:
    MarkdownView pane;
    int replyStart = 0;
    bool replyStarted = false;
    int inReply = 0;
};

double median(std::vector<double>& samples)
{
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    return samples[samples.size() / 2];
}

struct Medians {
    double small = 0;
    double large = 0;
};
QMap<bool, Medians> results; // by `tables`; the last, measured run wins

void BM_AppendFragment(benchmark::State& state)
{
    const bool tables = state.range(0) != 0;
    const auto small = std::make_unique<StreamingPane>(smallTurns, tables);
    const auto large = std::make_unique<StreamingPane>(largeTurns, tables);
    for (int i = 0; i < fragmentsPerReply; ++i) { // one whole reply each, not measured
        small->append();
        large->append();
    }

    std::vector<double> smallSamples;
    std::vector<double> largeSamples;
    bool smallFirst = true;
    for (auto _ : state) {
        double smallTime = 0;
        double largeTime = 0;
        if (smallFirst) {
            smallTime = small->append();
            largeTime = large->append();
        } else {
            largeTime = large->append();
            smallTime = small->append();
        }
        smallFirst = !smallFirst;
        smallSamples.push_back(smallTime);
        largeSamples.push_back(largeTime);
        state.SetIterationTime((smallTime + largeTime) * 1e-6);
    }
    const Medians medians{median(smallSamples), median(largeSamples)};
    state.counters["median_10_turns_us"] = medians.small;
    state.counters["median_1000_turns_us"] = medians.large;
    state.counters["ratio"] = medians.large / medians.small;
    results[tables] = medians;
}

BENCHMARK(BM_AppendFragment)
    ->ArgName("tables")
    ->Arg(0)
    ->Arg(1)
    ->MinTime(2.0)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// Processor cores of a shared machine can take a fraction of a second to reach full speed.
void warmUp()
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    volatile unsigned sink = 0;
    while (std::chrono::steady_clock::now() < end) {
        for (unsigned i = 0; i < 100000; ++i)
            sink = sink + i;
    }
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    warmUp();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    for (auto it = results.cbegin(); it != results.cend(); ++it) {
        const Medians& m = it.value();
        const double ratio = m.large / m.small;
        std::printf("fragment append median, replies %s: %.1f us at %d turns, %.1f us at %d "
                    "turns, ratio %.2f (goal: ratio <= 1.5 and <= 50 us): %s\n",
                    it.key() ? "with a table each" : "without tables", m.small, smallTurns, m.large,
                    largeTurns, ratio,
                    ratio <= 1.5 && m.large <= 50 && m.small <= 50 ? "met" : "NOT met");
    }
    return 0;
}
