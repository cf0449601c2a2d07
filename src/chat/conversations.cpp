#include "api/service.h"
#include "chat/chatwindow.h"
#include "chat/conversationitems.h"

#include <QComboBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QSignalBlocker>

void ChatWindow::enterConversation(const QString& cloud, const QString& privateThread,
                                   const QJsonArray& turns, const QString& title)
{
    keepDraft();
    cloudId = cloud;
    privateId = privateThread;
    isPrivate = !privateThread.isEmpty();
    messages = turns;
    privateHistory = isPrivate ? turns : QJsonArray();
    // Only the list that holds the conversation keeps a selection.
    if (cloud.isEmpty())
        conversationList->clearSelection();
    if (privateThread.isEmpty())
        privateList->clearSelection();
    setTitle(title);
    setModeBadge(isPrivate ? QStringLiteral("仅本机保存") : QStringLiteral("云端保存"), isPrivate);
    showDraft();
    drafts->save();
}

void ChatWindow::startNewConversation()
{
    if (busy)
        return;
    enterConversation({}, {}, {}, QStringLiteral("新对话"));
    chatNotice->setText(
        privateAvailable ? QString() : QStringLiteral("本机隐私记录无法读取，隐私对话暂不可用。"));
    showEmptyState();
    setBusy(false);
}

void ChatWindow::loadConversations()
{
    service::listConversations(
        *api, whileOpen([this](const QList<service::ConversationEntry>& entries) {
            const QSignalBlocker blocker(conversationList);
            conversationList->clear();
            for (const service::ConversationEntry& entry : entries) {
                QListWidgetItem* item = appendConversationItem(
                    conversationList, QStringLiteral("◦  "), entry.id, entry.title);
                // An element without an id is not the open conversation, even while none is
                // open.
                if (!cloudId.isEmpty() && entry.id == cloudId) {
                    conversationList->setCurrentItem(item);
                    // The service names a new conversation after its first reply: the header,
                    // the rename dialog and the delete question follow.
                    setTitle(entry.title);
                }
            }
        }),
        showFailure());
}

void ChatWindow::openConversation(QListWidgetItem* item)
{
    if (busy || !item)
        return;
    const QString id = item->data(Qt::UserRole).toString();
    // A prompt sent while the request was out owns the open conversation now: swapping it
    // under the reply would mix two conversations, and its notice must stay.
    service::fetchConversation(
        *api, id, whileOpen([this, id](const service::CloudConversation& conversation) {
            if (busy)
                return;
            enterConversation(id, {}, conversation.messages, conversation.title);
            rememberFetched(id, conversation.title, conversation.messages);
            const bool offered = selectModel(conversation.model);
            chatNotice->setText(
                offered ? QString() : QStringLiteral("此对话的模型当前未开放，可查看历史内容。"));
            renderTranscript();
            setBusy(false);
            findPendingIn(id);
        }),
        whileOpen([this](const QString& error) {
            if (!busy)
                chatNotice->setText(error);
        }));
}

void ChatWindow::renameCurrent()
{
    if (busy || currentId().isEmpty())
        return;
    // The dialog runs its own event loop, in which a late reply may open another
    // conversation: the new name belongs to the one the dialog was opened for.
    const bool renamingPrivate = isPrivate;
    const QString id = currentId();
    QPointer<ChatWindow> window(this);
    bool accepted = false;
    const QString answer =
        QInputDialog::getText(this, QStringLiteral("重命名对话"), QStringLiteral("对话名称"),
                              QLineEdit::Normal, chatTitle->text(), &accepted);
    if (!window || !accepted)
        return;
    const QString title = answer.trimmed();
    if (title.isEmpty())
        return;

    if (renamingPrivate) {
        const int index = findPrivateThread(id);
        if (index < 0)
            return;
        QJsonObject thread = threads.at(index).toObject();
        thread.insert("title", title);
        threads.replace(index, thread);
        if (isOpen(true, id))
            setTitle(title);
        savePrivateStore();
        refreshPrivateList();
        return;
    }

    service::renameConversation(*api, id, title, whileOpen([this, id](const QString& kept) {
        if (isOpen(false, id))
            setTitle(kept);
        loadConversations();
    }),
                                showFailure());
}

void ChatWindow::deleteCurrent()
{
    if (busy || currentId().isEmpty())
        return;
    // As with renaming: the answer applies to the conversation the question named.
    const bool deletingPrivate = isPrivate;
    const QString id = currentId();
    const QString question =
        (deletingPrivate ? QStringLiteral("从本机删除隐私对话“%1”？")
                         : QStringLiteral("从客户端列表移除“%1”？服务端仍保留记录。"))
            .arg(chatTitle->text());
    QPointer<ChatWindow> window(this);
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, QStringLiteral("删除对话"), question, QMessageBox::Yes | QMessageBox::No);
    if (!window || answer != QMessageBox::Yes)
        return;

    if (deletingPrivate) {
        dropDraft(QStringLiteral("private:") + id);
        const int index = findPrivateThread(id);
        if (index >= 0) {
            threads.removeAt(index);
            savePrivateStore();
            refreshPrivateList();
        }
        if (isOpen(true, id))
            startNewConversation();
        return;
    }

    service::deleteConversation(*api, id, whileOpen([this, id] {
        dropDraft(QStringLiteral("cloud:") + id);
        if (isOpen(false, id))
            startNewConversation();
        loadConversations();
    }),
                                showFailure());
}
