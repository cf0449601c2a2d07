#include "chat/findbar.h"

#include "chat/searchfold.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTextDocument>
#include <QTextEdit>
#include <QToolButton>

#include <algorithm>

namespace
{

QToolButton* barButton(const QString& text, const QString& tip, QWidget* parent)
{
    auto* button = new QToolButton(parent);
    button->setText(text);
    button->setToolTip(tip);
    button->setAccessibleName(tip);
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::NoFocus); // the keyboard stays in the field
    return button;
}

QTextCharFormat matchFormat(bool current)
{
    QTextCharFormat format;
    format.setBackground(QColor(current ? "#f3b04a" : "#fbe6a6"));
    return format;
}

} // namespace

FindBar::FindBar(QTextEdit* pane) : QWidget(pane), pane(pane)
{
    setObjectName("findBar");
    setAttribute(Qt::WA_StyledBackground);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(10, 4, 4, 4);
    layout->setSpacing(4);
    input = new QLineEdit(this);
    input->setObjectName("findField");
    input->setPlaceholderText(QStringLiteral("在对话中查找"));
    input->setAccessibleName(QStringLiteral("在对话中查找"));
    layout->addWidget(input, 1);
    count = new QLabel(this);
    count->setObjectName("findCount");
    count->setMinimumWidth(56);
    count->setAlignment(Qt::AlignCenter);
    layout->addWidget(count);
    QToolButton* previous = barButton(QStringLiteral("↑"), QStringLiteral("上一个"), this);
    QToolButton* next = barButton(QStringLiteral("↓"), QStringLiteral("下一个"), this);
    QToolButton* closer = barButton(QStringLiteral("✕"), QStringLiteral("关闭查找"), this);
    layout->addWidget(previous);
    layout->addWidget(next);
    layout->addWidget(closer);
    hide();

    connect(input, &QLineEdit::textChanged, this, [this] {
        search();
        showMatches(true);
    });
    connect(previous, &QToolButton::clicked, this, [this] { step(-1); });
    connect(next, &QToolButton::clicked, this, [this] { step(1); });
    connect(closer, &QToolButton::clicked, this, [this] { closeBar(); });

    // A streamed fragment or a redraw changes the text: the matches are found again once the
    // burst of changes is over, without moving the view the stream is scrolling.
    researchSoon.setSingleShot(true);
    researchSoon.setInterval(100);
    connect(&researchSoon, &QTimer::timeout, this, [this] {
        if (!isVisible())
            return;
        search();
        showMatches(false);
    });
    connect(pane->document(), &QTextDocument::contentsChanged, this, [this] {
        if (isVisible() && !input->text().isEmpty())
            researchSoon.start();
    });
    // Matches that end before a change keep their place: a streamed fragment changes the pane
    // at its end, where it also moves the lines it finishes. Those from the change on may point
    // at other text now: they go at once and are found again after the change (after a redraw,
    // which first empties the pane, the current one by the place it had).
    connect(pane->document(), &QTextDocument::contentsChange, this, [this](int position, int, int) {
        const auto unchanged = std::lower_bound(
            matches.cbegin(), matches.cend(), position,
            [this](int start, int changed) { return start + matchLength <= changed; });
        const int kept = int(unchanged - matches.cbegin());
        if (kept == matches.size())
            return;
        matches.resize(kept);
        if (current >= kept)
            current = -1;
        QList<QTextEdit::ExtraSelection> marks = this->pane->extraSelections();
        marks.removeIf([position](const QTextEdit::ExtraSelection& mark) {
            return !mark.cursor.hasSelection() || mark.cursor.selectionEnd() > position;
        });
        this->pane->setExtraSelections(marks);
    });
    connect(pane->verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        if (isVisible() && (value < markedFrom || value > markedTo))
            markNearView();
    });
    input->installEventFilter(this);
    pane->installEventFilter(this);
    paneViewport = pane->viewport();
    paneViewport->installEventFilter(this); // it narrows when the scroll bar appears
}

void FindBar::openBar()
{
    placeOverPane();
    show();
    raise();
    input->setFocus(Qt::ShortcutFocusReason);
    input->selectAll();
    search();
    showMatches(true);
}

void FindBar::openAt(const QString& text, int from)
{
    {
        const QSignalBlocker quiet(input);
        input->setText(text);
    }
    current = -1;
    currentStart = from;
    openBar();
}

void FindBar::closeBar()
{
    hide();
    researchSoon.stop();
    matches.clear();
    current = -1;
    currentStart = 0;
    count->clear();
    pane->setExtraSelections({});
    markedTo = markedFrom - 1;
    pane->setFocus(Qt::OtherFocusReason);
}

bool FindBar::eventFilter(QObject* watched, QEvent* event)
{
    // Only pointers are compared here: while the pane is being taken down, its children
    // still send events through this filter, and the pane is no longer a text edit then.
    if (event->type() == QEvent::Resize && (watched == pane || watched == paneViewport)) {
        placeOverPane();
        if (isVisible())
            markNearView();
    } else if (watched == input && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            step(key->modifiers() & Qt::ShiftModifier ? -1 : 1);
            return true;
        }
        if (key->key() == Qt::Key_Escape) {
            closeBar();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void FindBar::search()
{
    // The current match stays current if it is still there, or the next one after it.
    const int previousStart = current >= 0 ? matches.at(current) : currentStart;
    matches.clear();
    current = -1;
    const QString needle = foldForSearch(input->text());
    matchLength = int(needle.size());
    if (needle.isEmpty())
        return;
    QTextDocument* document = pane->document();
    // Raw text: one unit per document position, frames and block ends included.
    const QString text = foldForSearch(document->toRawText());
    for (qsizetype at = text.indexOf(needle); at >= 0;
         at = text.indexOf(needle, at + needle.size())) {
        if (current < 0 && at >= previousStart)
            current = int(matches.size());
        matches.append(int(at));
    }
    if (current < 0 && !matches.isEmpty())
        current = 0;
}

void FindBar::step(int offset)
{
    if (matches.isEmpty())
        return;
    const int n = int(matches.size());
    current = ((current + offset) % n + n) % n;
    showMatches(true);
}

void FindBar::showMatches(bool scrollToCurrent)
{
    currentStart = current >= 0 ? matches.at(current) : 0;
    count->setText(input->text().isEmpty()
                       ? QString()
                       : QStringLiteral("%1 / %2").arg(current + 1).arg(matches.size()));
    if (scrollToCurrent && current >= 0) {
        // Into the middle of what the bar leaves visible, unless it is in view already.
        const QRect match = pane->cursorRect(matchCursor(current));
        QRect visible = pane->viewport()->rect();
        visible.setBottom(visible.bottom() - height());
        if (!visible.contains(match)) {
            QScrollBar* bar = pane->verticalScrollBar();
            bar->setValue(bar->value() + match.center().y() - visible.center().y());
        }
    }
    markNearView();
}

void FindBar::markNearView()
{
    // Every repaint looks at every mark: only the matches within a view's height above and
    // below the view are marked, and marked anew once the view scrolls further than that.
    const QRect view = pane->viewport()->rect();
    // Across the middle: beside the text, a point would be taken as before or after a frame.
    const int across = view.center().x();
    const int first =
        pane->cursorForPosition(QPoint(across, view.top() - view.height())).position();
    const int last =
        pane->cursorForPosition(QPoint(across, view.bottom() + view.height())).position();
    const auto nearest =
        std::lower_bound(matches.cbegin(), matches.cend(), first, [this](int start, int position) {
            return start + matchLength < position;
        });
    QList<QTextEdit::ExtraSelection> selections;
    for (auto match = nearest; match != matches.cend() && *match <= last; ++match) {
        const int index = int(match - matches.cbegin());
        selections.append({matchCursor(index), matchFormat(index == current)});
    }
    pane->setExtraSelections(selections);
    const int value = pane->verticalScrollBar()->value();
    markedFrom = value - view.height();
    markedTo = value + view.height();
}

QTextCursor FindBar::matchCursor(int index) const
{
    QTextCursor match(pane->document());
    match.setPosition(matches.at(index));
    match.setPosition(matches.at(index) + matchLength, QTextCursor::KeepAnchor);
    return match;
}

void FindBar::placeOverPane()
{
    // Inside the text area: clear of the pane's frame, padding and scroll bar.
    const QRect area = pane->viewport()->geometry();
    const int margin = 8;
    const int width = qMin(area.width() - 2 * margin, 440);
    const int height = sizeHint().height();
    setGeometry(area.right() - margin - width + 1, area.bottom() - margin - height + 1, width,
                height);
}
