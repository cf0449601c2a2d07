#include "chat/jumplist.h"

#include "chat/searchfold.h"
#include "widgets/popuplistkeys.h"

#include <QFontMetrics>
#include <QLineEdit>
#include <QListWidget>
#include <QScrollBar>
#include <QVBoxLayout>

JumpList::JumpList(QWidget* window, QList<JumpTarget> targets,
                   std::function<void(const JumpTarget&)> choose)
    : QFrame(window, Qt::Popup), targets(std::move(targets)), choose(std::move(choose))
{
    setObjectName("jumpList");
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->setSpacing(6);
    input = new QLineEdit(this);
    input->setObjectName("jumpField");
    input->setPlaceholderText(QStringLiteral("跳转到对话…"));
    input->setAccessibleName(QStringLiteral("跳转到对话"));
    layout->addWidget(input);
    shown = new QListWidget(this);
    shown->setObjectName("jumpResults");
    shown->setAccessibleName(QStringLiteral("对话"));
    shown->setFocusPolicy(Qt::NoFocus); // typing goes on in the field; arrows move the choice
    shown->setTextElideMode(Qt::ElideRight);
    layout->addWidget(shown);

    connect(input, &QLineEdit::textChanged, this, [this](const QString& text) { filter(text); });
    connect(shown, &QListWidget::itemClicked, this, [this] { chooseCurrent(); });
    input->installEventFilter(this);

    const QRect area = window->rect();
    const int width = qMin(460, area.width() - 40);
    shown->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    shown->ensurePolished(); // the theme's font, for the widths below
    // The popup's width less its margins, the list's item padding and a scroll bar.
    titleWidth = width - 16 - 16 - shown->verticalScrollBar()->sizeHint().width() - 8;
    filter(QString());
    resize(width, 340);
    move(window->mapToGlobal(QPoint((area.width() - width) / 2, 70)));
}

bool JumpList::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == input && handlePopupListKey(event, this, shown, [this] { chooseCurrent(); }))
        return true;
    return QFrame::eventFilter(watched, event);
}

void JumpList::filter(const QString& text)
{
    const QString needle = foldForSearch(text.trimmed());
    shown->clear();
    for (qsizetype i = 0; i < targets.size(); ++i) {
        const JumpTarget& target = targets.at(i);
        if (!needle.isEmpty() && !foldForSearch(target.title).contains(needle))
            continue;
        const QString marker = target.isPrivate ? QStringLiteral("◇  ") : QStringLiteral("◦  ");
        const QString kind =
            target.isPrivate ? QStringLiteral("  · 本机") : QStringLiteral("  · 云端");
        // The title gives way, never the list's width: cut with "…", whole in the tool tip.
        const QFontMetrics metrics(shown->font());
        const QString title = metrics.elidedText(target.title, Qt::ElideRight,
                                                 titleWidth - metrics.horizontalAdvance(marker) -
                                                     metrics.horizontalAdvance(kind));
        auto* item = new QListWidgetItem(marker + title + kind);
        item->setData(Qt::UserRole, int(i));
        item->setToolTip(target.title);
        item->setData(Qt::AccessibleTextRole,
                      target.title + (target.isPrivate ? QStringLiteral("，隐私对话")
                                                       : QStringLiteral("，云端对话")));
        shown->addItem(item);
    }
    if (shown->count() > 0)
        shown->setCurrentRow(0);
}

void JumpList::chooseCurrent()
{
    const QListWidgetItem* item = shown->currentItem();
    if (!item)
        return;
    const JumpTarget target = targets.at(item->data(Qt::UserRole).toInt());
    auto chosen = choose;
    close(); // deletes this pop-up later; what it chose is held by value
    chosen(target);
}
