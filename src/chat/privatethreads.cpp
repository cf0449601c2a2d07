#include "chat/chatwindow.h"
#include "chat/conversationitems.h"
#include "chat/threadrecords.h"

#include <QComboBox>
#include <QDateTime>
#include <QLabel>
#include <QListWidget>
#include <QSignalBlocker>
#include <QUuid>

namespace
{

qint64 nowInSeconds()
{
    return QDateTime::currentSecsSinceEpoch();
}

} // namespace

void ChatWindow::refreshPrivateList()
{
    const QSignalBlocker blocker(privateList);
    privateList->clear();
    // Newest-created first: records are kept in creation order.
    for (qsizetype i = threads.size() - 1; i >= 0; --i) {
        const QJsonObject thread = threads.at(i).toObject();
        const QString id = thread.value("id").toString();
        QListWidgetItem* item = appendConversationItem(privateList, QStringLiteral("◇  "), id,
                                                       thread.value("title").toString());
        if (!privateId.isEmpty() && id == privateId)
            privateList->setCurrentItem(item);
    }
}

int ChatWindow::findPrivateThread(const QString& id) const
{
    return int(findThread(threads, id));
}

void ChatWindow::createPrivateThread()
{
    if (busy || !privateAvailable)
        return;
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    threads.append(newThreadRecord(id, selectedModelId(), nowInSeconds()));
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

    enterConversation({}, id, thread.value("messages").toArray(), thread.value("title").toString());
    selectModel(thread.value("model").toString());
    chatNotice->setText(QStringLiteral("消息经 Worker 获取回复；对话记录仅加密保存在本机。"));
    renderTranscript();
    refreshPrivateList();
    setBusy(false);
}

bool ChatWindow::updatePrivateThread()
{
    if (!recordTurnsInThread())
        return false;
    return savePrivateStore();
}

// The open thread's record takes the current turns and model (and perhaps its automatic
// title); false when the thread is gone.
bool ChatWindow::recordTurnsInThread()
{
    const int index = findPrivateThread(privateId);
    if (index < 0)
        return false;
    const QJsonObject before = threads.at(index).toObject();
    const QJsonObject thread = withTurns(before, selectedModelId(), messages, nowInSeconds());
    if (thread.value("title") != before.value("title"))
        setTitle(thread.value("title").toString());
    threads.replace(index, thread);
    refreshPrivateList();
    return true;
}
