// The workspace search over 5,000 private turns, typed one character at a time: the time from
// a keystroke to the pane showing its hits (found, listed and painted), and the time to
// prepare the turns when the pane opens. Prints one verdict line against 30 ms per keystroke.

#include "chat/searchpane.h"
#include "chat/turnsearch.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QWidget>

#include <algorithm>
#include <cstdio>

namespace
{

constexpr int threadCount = 100;
constexpr int turnsPerThread = 50; // 5,000 turns in all
constexpr double goalMs = 30;

// Text of the kind replies hold: Chinese phrases, some English, Markdown marks, ~400 chars.
QString turnText(QRandomGenerator& random)
{
    static const QStringList words{
        "部署",    "方案", "数据库", "迁移", "测试",     "性能",   "缓存",       "接口",
        "用户",    "权限", "日志",   "监控", "**重要**", "`code`", "Kubernetes", "deploy",
        "release", "西湖", "旅行",   "预算", "会议",     "总结",   "下一步",     "风险",
        "需求",    "设计", "评审",   "上线", "回滚",     "容器",   "网络",       "证书"};
    QString text;
    while (text.size() < 400) {
        text += words.at(random.bounded(int(words.size())));
        text += random.bounded(4) == 0 ? QStringLiteral("，") : QString();
    }
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QRandomGenerator random(2026);
    QList<QJsonArray> threads;
    for (int t = 0; t < threadCount; ++t) {
        QJsonArray messages;
        for (int i = 0; i < turnsPerThread; ++i)
            messages.append(
                QJsonObject{{"role", i % 2 ? "assistant" : "user"}, {"content", turnText(random)}});
        threads.append(messages);
    }

    QElapsedTimer clock;
    clock.start();
    auto turns = std::make_shared<LocalTurns>();
    for (int t = 0; t < threadCount; ++t)
        turns->add(QString::number(t), QStringLiteral("线程 %1").arg(t), true, t * 1000,
                   threads.at(t));
    const double prepareMs = clock.nsecsElapsed() / 1e6;

    QWidget window;
    window.resize(1160, 760);
    window.show();
    SearchPane::Sources sources;
    sources.local = [turns](const QString& query) { return turns->find(query, 50); };
    auto* pane = new SearchPane(&window, sources, [](const TurnHit&, const QString&) {});
    pane->show();
    QApplication::processEvents();

    // Typed, then erased, one character at a time: frequent and rare words, Latin and Chinese,
    // and a phrase found nowhere (the whole text is passed over for it).
    const QStringList typed{"部署方案", "Kubernetes", "重要的", "西湖旅行预算", "没有这句话的文本"};
    QList<double> keystrokes;
    for (const QString& phrase : typed) {
        QStringList steps;
        for (qsizetype n = 1; n <= phrase.size(); ++n)
            steps << phrase.left(n);
        for (qsizetype n = phrase.size() - 1; n >= 0; --n)
            steps << phrase.left(n);
        for (const QString& text : steps) {
            clock.restart();
            pane->field()->setText(text);
            pane->repaint();
            QApplication::processEvents();
            keystrokes << clock.nsecsElapsed() / 1e6;
        }
    }
    std::sort(keystrokes.begin(), keystrokes.end());
    const double p95 = keystrokes.at(qsizetype(keystrokes.size() * 0.95));
    const double worst = keystrokes.last();
    std::printf("search over %d private turns: prepared in %.1f ms when the pane opens\n",
                turns->turnCount(), prepareMs);
    std::printf("keystroke to painted hits (%lld keystrokes): median %.2f ms, p95 %.2f ms, "
                "worst %.2f ms\n",
                static_cast<long long>(keystrokes.size()), keystrokes.at(keystrokes.size() / 2),
                p95, worst);
    std::printf("client search, worst keystroke %.1f ms (goal: <= %.0f ms): %s\n", worst, goalMs,
                worst <= goalMs ? "met" : "NOT met");
    return 0;
}
