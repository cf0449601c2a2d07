#include "chat/searchpane.h"

#include "widgets/popuplistkeys.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPointer>
#include <QStyledItemDelegate>
#include <QTextDocument>
#include <QTextOption>
#include <QVBoxLayout>

#include <algorithm>

namespace
{

constexpr int mostHits = 50;
constexpr int hitRole = Qt::UserRole;

// Two lines per hit: the title with where it lives and whose turn it is, and the snippet with
// each match marked as the find bar marks it.
class HitDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    static QString html(const TurnHit& hit)
    {
        QString snippet;
        int at = 0;
        for (const auto& [start, length] : hit.marks) {
            if (start < at || start + length > hit.snippet.size())
                continue;
            snippet += hit.snippet.mid(at, start - at).toHtmlEscaped() +
                       QStringLiteral("<span style='background:#fbe6a6'>") +
                       hit.snippet.mid(start, length).toHtmlEscaped() + QStringLiteral("</span>");
            at = start + length;
        }
        snippet += hit.snippet.mid(at).toHtmlEscaped();
        const QString where = hit.isPrivate ? QStringLiteral("本机") : QStringLiteral("云端");
        const QString who = hit.titleOnly   ? QStringLiteral("标题")
                            : hit.assistant ? QStringLiteral("KestruneAI")
                                            : QStringLiteral("你");
        return QStringLiteral("<div style='color:#203c50'><b>%1</b>"
                              "<span style='color:#6b8794'> · %2 · %3</span></div>"
                              "<div style='color:#486779'>%4</div>")
            .arg(hit.title.toHtmlEscaped(), where, who, snippet);
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override
    {
        QStyleOptionViewItem plain = option;
        initStyleOption(&plain, index);
        plain.text.clear();
        plain.widget->style()->drawControl(QStyle::CE_ItemViewItem, &plain, painter, plain.widget);
        QTextDocument document;
        document.setDefaultFont(option.font);
        // One line each: what does not fit is cut at the right, the match being near the start.
        QTextOption oneLine;
        oneLine.setWrapMode(QTextOption::NoWrap);
        document.setDefaultTextOption(oneLine);
        document.setDocumentMargin(6);
        document.setHtml(index.data(Qt::DisplayRole).toString());
        document.setTextWidth(option.rect.width());
        painter->save();
        painter->translate(option.rect.topLeft());
        painter->setClipRect(QRect(QPoint(), option.rect.size()));
        document.drawContents(painter);
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override
    {
        return QSize(option.rect.width(), option.fontMetrics.height() * 2 + 18);
    }
};

} // namespace

QString SearchPane::fallbackNote()
{
    return QStringLiteral("此服务不提供全文搜索：只搜索了云端对话的标题和本次打开过的对话。");
}

SearchPane::SearchPane(QWidget* window, Sources sources,
                       std::function<void(const TurnHit&, const QString&)> open)
    : QFrame(window, Qt::Popup), sources(std::move(sources)), open(std::move(open))
{
    setObjectName("searchPane");
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->setSpacing(6);
    input = new QLineEdit(this);
    input->setObjectName("searchField");
    input->setPlaceholderText(QStringLiteral("搜索全部对话…"));
    input->setAccessibleName(QStringLiteral("搜索全部对话"));
    layout->addWidget(input);
    shown = new QListWidget(this);
    shown->setObjectName("searchResults");
    shown->setAccessibleName(QStringLiteral("搜索结果"));
    shown->setFocusPolicy(Qt::NoFocus); // typing goes on in the field; arrows move the choice
    shown->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    shown->setItemDelegate(new HitDelegate(shown));
    layout->addWidget(shown);
    noteLine = new QLabel(this);
    noteLine->setObjectName("searchNote");
    noteLine->setWordWrap(true);
    noteLine->setTextFormat(Qt::PlainText);
    noteLine->hide();
    layout->addWidget(noteLine);

    askSoon.setSingleShot(true);
    askSoon.setInterval(250);
    connect(&askSoon, &QTimer::timeout, this, [this] { askService(); });
    connect(input, &QLineEdit::textChanged, this, [this] {
        searchLocally();
        if (this->sources.remote)
            askSoon.start();
    });
    connect(shown, &QListWidget::itemClicked, this, [this] { openCurrent(); });
    input->installEventFilter(this);
    if (!this->sources.remote)
        noteLine->setText(fallbackNote());

    const QRect area = window->rect();
    const int width = qMin(620, area.width() - 40);
    resize(width, qMin(460, area.height() - 100));
    move(window->mapToGlobal(QPoint((area.width() - width) / 2, 70)));
}

bool SearchPane::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == input && handlePopupListKey(event, this, shown, [this] { openCurrent(); }))
        return true;
    return QFrame::eventFilter(watched, event);
}

void SearchPane::searchLocally()
{
    const QString query = input->text().trimmed();
    local = query.isEmpty() ? QList<TurnHit>() : sources.local(query);
    if (remoteQuery != query)
        remote.clear();
    showHits(local + remote);
    noteLine->setVisible(!query.isEmpty() && !sources.remote);
}

void SearchPane::askService()
{
    const QString query = input->text().trimmed();
    if (query.isEmpty() || !sources.remote)
        return;
    const int number = ++asked;
    QPointer<SearchPane> pane(this);
    sources.remote(query, [pane, number, query](const QList<TurnHit>& hits, bool offered) {
        if (!pane || number != pane->asked)
            return;
        if (!offered) {
            // From now on the titles and the conversations opened stand in for the service.
            pane->sources.remote = nullptr;
            if (pane->sources.remoteMissing)
                pane->sources.remoteMissing();
            pane->noteLine->setText(fallbackNote());
            pane->searchLocally();
            return;
        }
        pane->remote = hits;
        pane->remoteQuery = query;
        pane->showHits(pane->local + pane->remote);
    });
}

void SearchPane::showHits(const QList<TurnHit>& hits)
{
    listed = hits;
    std::stable_sort(listed.begin(), listed.end(),
                     [](const TurnHit& a, const TurnHit& b) { return a.when > b.when; });
    if (listed.size() > mostHits)
        listed.resize(mostHits);
    shown->clear();
    for (qsizetype i = 0; i < listed.size(); ++i) {
        const TurnHit& hit = listed.at(i);
        auto* item = new QListWidgetItem(HitDelegate::html(hit));
        item->setData(hitRole, int(i));
        item->setData(Qt::AccessibleTextRole, hit.title + QStringLiteral("，") + hit.snippet);
        shown->addItem(item);
    }
    if (shown->count() > 0)
        shown->setCurrentRow(0);
}

void SearchPane::openCurrent()
{
    const QListWidgetItem* item = shown->currentItem();
    if (!item)
        return;
    const TurnHit hit = listed.at(item->data(hitRole).toInt());
    const QString query = input->text().trimmed();
    auto chosen = open;
    close(); // deletes this pop-up later; what it chose is held by value
    chosen(hit, query);
}
