#include "api/api.h"
#include "app/theme.h"
#include "chat/chatwindow.h"
#include "chat/findbar.h"
#include "chat/markdownview.h"
#include "chat/transcript.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProcess>
#include <QScrollBar>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <vector>

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

// The same redraw with the find bar open on a word every reply holds.
void BM_DrawTranscriptReplyFinding(benchmark::State& state)
{
    const int turns = int(state.range(0));
    const QJsonArray base = conversation(turns, 3);
    drawTranscript(&pane(), base);
    FindBar bar(&pane());
    bar.openBar();
    bar.field()->setText(QStringLiteral("回答"));
    int n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        // What the bar does once a redraw is over: it finds the matches again.
        bar.field()->setText(QString());
        bar.field()->setText(QStringLiteral("回答"));
        QJsonArray messages = base;
        messages.append(
            QJsonObject{{"role", "assistant"},
                        {"content", QStringLiteral("新回复 %1 | a |\n|---|\n").arg(++n)}});
        state.ResumeTiming();
        drawTranscript(&pane(), messages);
    }
    state.counters["matches"] = double(turns / 2);
    bar.closeBar();
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

// A conversation of `turns` turns drawn into the pane, the view scrolled halfway down it.
void drawHalfwayDown(int turns, int salt)
{
    drawTranscript(&pane(), conversation(turns, salt));
    QScrollBar* bar = pane().verticalScrollBar();
    bar->setValue(bar->maximum() / 2);
}

// Reading back through a drawn conversation: the view halfway down, repainted whole, as
// after a jump or a resize.
void BM_PaintView(benchmark::State& state)
{
    const int turns = int(state.range(0));
    drawHalfwayDown(turns, 6);
    for (auto _ : state)
        benchmark::DoNotOptimize(pane().viewport()->grab());
    state.SetComplexityN(turns);
}

// The same repaint with the find bar open on a word every reply holds.
void BM_PaintViewFinding(benchmark::State& state)
{
    const int turns = int(state.range(0));
    drawTranscript(&pane(), conversation(turns, 6));
    FindBar bar(&pane());
    bar.openBar();
    bar.field()->setText(QStringLiteral("回答")); // which scrolls to the first match
    QScrollBar* scroll = pane().verticalScrollBar();
    scroll->setValue(scroll->maximum() / 2);
    for (auto _ : state)
        benchmark::DoNotOptimize(pane().viewport()->grab());
    state.counters["matches"] = bar.matchCount();
    bar.closeBar();
}

// Typing into the find bar: every keystroke finds the word anew, here "回" and "回答" in
// turn, each found in every reply.
void BM_FindAsTyped(benchmark::State& state)
{
    const int turns = int(state.range(0));
    drawTranscript(&pane(), conversation(turns, 6));
    FindBar bar(&pane());
    bar.openBar();
    bool longer = false;
    for (auto _ : state) {
        bar.field()->setText(longer ? QStringLiteral("回答") : QStringLiteral("回"));
        longer = !longer;
    }
    state.counters["matches"] = bar.matchCount();
    bar.closeBar();
}

// The pointer moving over that view, with no button down (`state.range(1)` 0: each move
// looks for a link under it) or with the left one (1: each move drags a selection along).
void BM_PointerMove(benchmark::State& state)
{
    const int turns = int(state.range(0));
    const Qt::MouseButtons buttons = state.range(1) ? Qt::LeftButton : Qt::NoButton;
    drawHalfwayDown(turns, 7);
    QWidget* viewport = pane().viewport();
    const auto send = [viewport](QEvent::Type type, QPointF at, Qt::MouseButton button,
                                 Qt::MouseButtons held) {
        QMouseEvent event(type, at, viewport->mapToGlobal(at), button, held, Qt::NoModifier);
        QCoreApplication::sendEvent(viewport, &event);
    };
    if (buttons)
        send(QEvent::MouseButtonPress, QPointF(60, 20), Qt::LeftButton, buttons);
    int y = 0;
    for (auto _ : state) {
        send(QEvent::MouseMove, QPointF(120, 40 + y), Qt::NoButton, buttons);
        y = (y + 37) % 500;
    }
    if (buttons)
        send(QEvent::MouseButtonRelease, QPointF(120, 40 + y), Qt::LeftButton, Qt::NoButton);
    state.SetComplexityN(turns);
}

// The window made a little wider or narrower, at the end of the conversation: the pane lays
// the conversation out again at the new width.
void BM_Resize(benchmark::State& state)
{
    const int turns = int(state.range(0));
    drawTranscript(&pane(), conversation(turns, 7));
    const QSize size = pane().size();
    bool wider = false;
    for (auto _ : state) {
        pane().resize(size.width() + (wider ? 12 : 0), size.height());
        QCoreApplication::sendPostedEvents();
        benchmark::DoNotOptimize(pane().viewport()->grab());
        wider = !wider;
    }
    pane().resize(size);
    state.SetComplexityN(turns);
}

// A click into that view, off any link: a press and a release.
void BM_Click(benchmark::State& state)
{
    const int turns = int(state.range(0));
    drawHalfwayDown(turns, 7);
    QWidget* viewport = pane().viewport();
    int y = 0;
    for (auto _ : state) {
        const QPointF at(120, 40 + y);
        for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
            QMouseEvent click(type, at, viewport->mapToGlobal(at), Qt::LeftButton,
                              type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                              Qt::NoModifier);
            QCoreApplication::sendEvent(viewport, &click);
        }
        y = (y + 37) % 500;
    }
    state.SetComplexityN(turns);
}

} // namespace

BENCHMARK(BM_PaintView)->Arg(10)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PaintViewFinding)->Arg(10)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindAsTyped)->Arg(10)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PointerMove)
    ->ArgsProduct({{10, 1000, 5000}, {0, 1}})
    ->ArgNames({"turns", "drag"})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Click)->Arg(10)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Resize)->Arg(10)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DrawTranscriptReplyFinding)->Arg(200)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DrawTranscriptFromStartPage)->Arg(200)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DrawTranscriptOpen)
    ->Arg(10)
    ->Arg(200)
    ->Arg(1000)
    ->Arg(5000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();
BENCHMARK(BM_DrawTranscriptReply)
    ->Arg(10)
    ->Arg(200)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

namespace
{

// --- figures for the verdicts, outside Google Benchmark ---

double medianOf(std::vector<double> samples)
{
    std::nth_element(samples.begin(), samples.begin() + long(samples.size() / 2), samples.end());
    return samples[samples.size() / 2];
}

double drawMilliseconds(const QJsonArray& messages)
{
    QElapsedTimer timer;
    timer.start();
    drawTranscript(&pane(), messages);
    return double(timer.nsecsElapsed()) / 1e6;
}

qint64 residentKilobytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray& line : lines) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// In a process of its own: the workspace window, shown, with a conversation of 1,000 turns
// open in it; prints the resident memory in MiB.
int residentWithThousandTurns(int argc, char** argv)
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + "/data").toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toUtf8());
    qputenv("KESTRUNEAI_BASE_URL", "http://127.0.0.1:9");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KestruneAI"));
    applyTheme(app);
    Api api;
    ChatWindow window(&api, QJsonObject{{"id", "bench"}, {"username", "bench"}}, [] {});
    window.show();
    drawTranscript(window.findChild<MarkdownView*>(), conversation(1000, 8));
    QCoreApplication::processEvents();
    std::printf("%.1f\n", double(residentKilobytes()) / 1024);
    return 0;
}

// A figure printed by this program run again with `argument`, in a process of its own.
double childFigure(const QString& argument, bool* ok)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {argument});
    child.waitForFinished(-1);
    return child.readAllStandardOutput().trimmed().toDouble(ok);
}

// The first open of a conversation of `turns` turns in a fresh process (the user's first
// open of a session), median of three processes.
double firstOpenMilliseconds(int turns, bool* ok)
{
    std::vector<double> samples;
    *ok = true;
    for (int i = 0; i < 3; ++i) {
        bool measured = false;
        samples.push_back(childFigure(QStringLiteral("--first-open-%1").arg(turns), &measured));
        *ok = *ok && measured;
    }
    return medianOf(samples);
}

void printVerdicts()
{
    // Each open replaces what the pane showed; opened one after another, a size would also
    // pay for taking down the document of the size before it. A fresh process per open
    // measures the drawing alone.
    bool thousandOk = false;
    bool fiveThousandOk = false;
    const double thousand = firstOpenMilliseconds(1000, &thousandOk);
    const double fiveThousand = firstOpenMilliseconds(5000, &fiveThousandOk);
    const double growth = fiveThousand / thousand;
    std::printf("transcript, 5,000 turns: opened in %.0f ms, %.2fx the %.0f ms of 1,000 turns "
                "(first open in a fresh process, median of 3) (goal: linear, <= 5.5x): %s\n",
                fiveThousand, growth, thousand,
                thousandOk && fiveThousandOk && growth <= 5.5 ? "met" : "NOT met");

    bool ok = false;
    const double mebibytes = childFigure(QStringLiteral("--resident-1000"), &ok);
    std::printf("transcript, memory with 1,000 turns open in the workspace: %.1f MiB resident "
                "(goal: <= 120 MiB): %s\n",
                mebibytes, ok && mebibytes <= 120 ? "met" : "NOT met");
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc == 2 && QByteArray(argv[1]) == "--resident-1000")
        return residentWithThousandTurns(argc, argv);
    QApplication app(argc, argv);
    MarkdownView view;
    view.resize(820, 600);
    view.show();
    benchPane = &view;
    if (argc == 2 && QByteArray(argv[1]).startsWith("--first-open-")) {
        std::printf("%.1f\n",
                    drawMilliseconds(conversation(QByteArray(argv[1]).mid(13).toInt(), 9)));
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printVerdicts();
    return 0;
}
