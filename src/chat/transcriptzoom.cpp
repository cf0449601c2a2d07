#include "api/settingsfile.h"
#include "chat/chatwindow.h"
#include "chat/markdownview.h"
#include "chat/transcriptturns.h"

#include <QKeySequence>
#include <QScrollBar>
#include <QShortcut>

namespace
{

const QString zoomKey = QStringLiteral("transcript/zoom");

} // namespace

void ChatWindow::setUpZoom()
{
    const QList<int>& steps = MarkdownView::zoomSteps();
    const int remembered = settingsfile::read(zoomKey, 100, [&steps](const QString& text) {
                               bool number = false;
                               return steps.contains(text.toInt(&number)) && number;
                           }).toInt();
    transcript->setZoom(remembered);
    shownTurns->setScale(transcript->zoomFactor());

    const auto bind = [this](const QKeySequence& keys, int direction) {
        auto* shortcut = new QShortcut(keys, this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, [this, direction] { stepZoom(direction); });
    };
    bind(QKeySequence(Qt::CTRL | Qt::Key_Equal), 1);
    bind(QKeySequence(Qt::CTRL | Qt::Key_Plus), 1);
    bind(QKeySequence(Qt::CTRL | Qt::Key_Minus), -1);
    bind(QKeySequence(Qt::CTRL | Qt::Key_0), 0);
    transcript->onZoomStep = [this](int direction) { stepZoom(direction); };
}

void ChatWindow::stepZoom(int direction)
{
    const QList<int>& steps = MarkdownView::zoomSteps();
    if (direction == 0) {
        zoomTranscript(100);
        return;
    }
    const qsizetype at = steps.indexOf(transcript->zoom());
    zoomTranscript(steps.value(qBound<qsizetype>(0, at + direction, steps.size() - 1)));
}

void ChatWindow::zoomTranscript(int percent)
{
    if (percent == transcript->zoom())
        return;
    // The reader stays where they were in the conversation, as a share of its length.
    const QScrollBar* bar = transcript->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    const qreal share = bar->maximum() > 0 ? qreal(bar->value()) / bar->maximum() : 0;

    transcript->setZoom(percent);
    shownTurns->setScale(transcript->zoomFactor());
    if (messages.isEmpty())
        showEmptyState();
    else
        shownTurns->redraw();
    if (!atEnd)
        transcript->verticalScrollBar()->setValue(qRound(share * bar->maximum()));
    settingsfile::write(zoomKey, percent);
}
