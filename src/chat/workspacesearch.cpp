#include "api/service.h"
#include "chat/chatwindow.h"
#include "chat/findbar.h"
#include "chat/searchpane.h"
#include "chat/transcriptturns.h"
#include "chat/turnsearch.h"

#include <QKeySequence>
#include <QLineEdit>
#include <QListWidget>
#include <QShortcut>

#include <memory>

namespace
{

constexpr int hitsAsked = 30;

TurnHit hitOf(const service::FoundTurn& found)
{
    TurnHit hit;
    hit.conversationId = found.conversationId;
    hit.title = found.title;
    hit.assistant = found.assistant;
    hit.snippet = found.snippet;
    hit.marks = found.marks;
    hit.when = found.createdMs;
    return hit;
}

// The index of the turn a hit of the service names: the latest of its role whose text holds
// the snippet (without its "…"), else the latest that holds the query.
int turnOfHit(const QJsonArray& messages, const PendingFind& find)
{
    QString core = find.snippet;
    core.remove(QStringLiteral("…"));
    core = core.trimmed();
    const QString query = plainForSearch(find.query);
    int fallback = -1;
    for (qsizetype i = messages.size() - 1; i >= 0; --i) {
        const QJsonObject message = messages.at(i).toObject();
        QString plain = plainForSearch(message.value("content").toString());
        plain.replace(u'\n', u' ').replace(u'\r', u' ').replace(u'\t', u' ');
        const bool assistant = message.value("role").toString() == QLatin1String("assistant");
        if (assistant == find.assistant && !core.isEmpty() && plain.contains(core))
            return int(i);
        if (fallback < 0 && plain.contains(query, Qt::CaseInsensitive))
            fallback = int(i);
    }
    return fallback;
}

} // namespace

void ChatWindow::setUpSearch()
{
    auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F), this);
    shortcut->setContext(Qt::WindowShortcut);
    connect(shortcut, &QShortcut::activated, this, [this] { openSearch(); });
}

void ChatWindow::rememberFetched(const QString& id, const QString& title, const QJsonArray& turns)
{
    fetchedCloud.insert(id, {title, turns});
}

void ChatWindow::openSearch()
{
    // The decrypted threads as they are now; and what stands in for a service without search.
    auto privateTurns = std::make_shared<LocalTurns>();
    for (const QJsonValue& value : std::as_const(threads)) {
        const QJsonObject thread = value.toObject();
        privateTurns->add(thread.value("id").toString(), thread.value("title").toString(), true,
                          qint64(thread.value("updated_at").toDouble()) * 1000,
                          thread.value("messages").toArray());
    }
    auto fallback = std::make_shared<LocalTurns>();
    for (auto it = fetchedCloud.cbegin(); it != fetchedCloud.cend(); ++it)
        fallback->add(it.key(), it->title, false, 0, it->turns);
    for (int row = 0; row < conversationList->count(); ++row) {
        const QListWidgetItem* item = conversationList->item(row);
        fallback->addTitle(item->data(Qt::UserRole).toString(),
                           item->data(Qt::AccessibleTextRole).toString(), false);
    }
    auto withoutService = std::make_shared<bool>(!searchOffered);

    SearchPane::Sources sources;
    sources.local = [privateTurns, fallback, withoutService](const QString& query) {
        QList<TurnHit> hits = privateTurns->find(query, 50);
        if (*withoutService)
            hits += fallback->find(query, 50);
        return hits;
    };
    if (searchOffered) {
        sources.remote = [this](const QString& query, SearchPane::RemoteAnswer answer) {
            service::searchTurns(
                *api, query, hitsAsked,
                [answer](const QList<service::FoundTurn>& found, bool offered) {
                    QList<TurnHit> hits;
                    for (const service::FoundTurn& turn : found)
                        hits.append(hitOf(turn));
                    answer(hits, offered);
                },
                // A failed search leaves what the window found by itself.
                [](const QString&) {});
        };
        sources.remoteMissing = [window = QPointer<ChatWindow>(this), withoutService] {
            *withoutService = true;
            if (window)
                window->searchOffered = false;
        };
    }
    auto* pane =
        new SearchPane(this, std::move(sources), [this](const TurnHit& hit, const QString& query) {
            openSearchHit(hit, query);
        });
    pane->show();
    pane->field()->setFocus(Qt::PopupFocusReason);
}

void ChatWindow::openSearchHit(const TurnHit& hit, const QString& query)
{
    // As a click on the list: nothing while a reply is being written.
    if (busy)
        return;
    if (hit.isPrivate) {
        openPrivateThread(hit.conversationId);
        if (isOpen(true, hit.conversationId))
            findBar->openAt(query, shownTurns->turnStart(hit.turn));
        return;
    }
    for (int row = 0; row < conversationList->count(); ++row) {
        QListWidgetItem* item = conversationList->item(row);
        if (item->data(Qt::UserRole).toString() != hit.conversationId)
            continue;
        pendingFind = {hit.conversationId, query, hit.turn, hit.assistant, hit.snippet};
        conversationList->setCurrentItem(item);
        openConversation(item);
        return;
    }
}

void ChatWindow::findPendingIn(const QString& id)
{
    if (pendingFind.conversationId != id)
        return;
    const PendingFind find = std::exchange(pendingFind, PendingFind());
    const int turn = find.turn >= 0 ? find.turn : turnOfHit(messages, find);
    findBar->openAt(find.query, shownTurns->turnStart(turn));
}
