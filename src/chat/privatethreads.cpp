#include "chatwindow.h"
#include "threadtitle.h"

#include <QComboBox>
#include <QDateTime>
#include <QLabel>
#include <QListWidget>
#include <QUuid>

namespace
{

const QString defaultThreadTitle = QStringLiteral("隐私对话");

qint64 nowInSeconds()
{
    return QDateTime::currentSecsSinceEpoch();
}

} // namespace

void ChatWindow::refreshPrivateList()
{
    const bool wasBlocked = privateList->blockSignals(true);
    privateList->clear();
    // Newest-created first: records are kept in creation order.
    for (qsizetype i = threads.size() - 1; i >= 0; --i) {
        const QJsonObject thread = threads.at(i).toObject();
        const QString id = thread.value("id").toString();
        const QString title = thread.value("title").toString();
        auto* item = new QListWidgetItem(QStringLiteral("◇  ") + title);
        item->setData(Qt::UserRole, id);
        item->setToolTip(title);                      // the whole title, however narrow the list
        item->setData(Qt::AccessibleTextRole, title); // without the marker
        privateList->addItem(item);
        if (!privateId.isEmpty() && id == privateId)
            privateList->setCurrentItem(item);
    }
    privateList->blockSignals(wasBlocked);
}

int ChatWindow::findPrivateThread(const QString& id) const
{
    for (qsizetype i = 0; i < threads.size(); ++i) {
        if (threads.at(i).toObject().value("id").toString() == id)
            return int(i);
    }
    return -1;
}

void ChatWindow::createPrivateThread()
{
    if (busy || !privateAvailable)
        return;
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const qint64 now = nowInSeconds();
    threads.append(QJsonObject{
        {"id", id},
        {"title", defaultThreadTitle},
        {"model", selectedModelId()},
        {"messages", QJsonArray()},
        {"created_at", now},
        {"updated_at", now},
    });
    if (!savePrivateStore()) {
        // Nothing that is not on disk may look as if it were.
        threads.removeLast();
        return;
    }
    openPrivateThread(id);
}

void ChatWindow::openPrivateThread(const QString& id)
{
    if (busy)
        return;
    const int index = findPrivateThread(id);
    if (index < 0)
        return;
    const QJsonObject thread = threads.at(index).toObject();

    cloudId.clear();
    privateId = id;
    isPrivate = true;
    messages = thread.value("messages").toArray();
    privateHistory = messages;
    conversationList->clearSelection();
    setTitle(thread.value("title").toString());
    setModeBadge(QStringLiteral("仅本机保存"), true);
    selectModel(thread.value("model").toString());
    chatNotice->setText(QStringLiteral("消息经 Worker 获取回复；对话记录仅加密保存在本机。"));
    renderTranscript();
    refreshPrivateList();
    setBusy(false);
}

bool ChatWindow::updatePrivateThread()
{
    const int index = findPrivateThread(privateId);
    if (index < 0)
        return false;
    QJsonObject thread = threads.at(index).toObject();
    thread.insert("model", selectedModelId());
    thread.insert("messages", messages);
    thread.insert("updated_at", nowInSeconds());

    // The default title marks a thread nobody has named yet.
    if (thread.value("title").toString() == defaultThreadTitle && !messages.isEmpty()) {
        const QString title =
            automaticThreadTitle(messages.first().toObject().value("content").toString());
        if (!title.isEmpty()) {
            thread.insert("title", title);
            setTitle(title);
        }
    }

    threads.replace(index, thread);
    const bool saved = savePrivateStore();
    refreshPrivateList();
    return saved;
}
