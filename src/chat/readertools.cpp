#include "api/service.h"
#include "api/wholefile.h"
#include "app/networkdialog.h"

#include "chat/chatwindow.h"
#include "chat/codeblock.h"
#include "chat/findbar.h"
#include "chat/jumplist.h"
#include "chat/markdownexport.h"
#include "chat/markdownview.h"
#include "chat/transcriptturns.h"

#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QScrollBar>
#include <QShortcut>
#include <QStandardPaths>

#include <algorithm>

namespace
{

const QString exportAction = QStringLiteral("导出为 Markdown…");
const QString backUpAction = QStringLiteral("备份全部隐私对话…");
const QString restoreAction = QStringLiteral("从备份恢复…");

} // namespace

void ChatWindow::setUpReaderTools()
{
    findBar = new FindBar(transcript);
    auto* find = new QShortcut(QKeySequence::Find, this);
    find->setContext(Qt::WindowShortcut);
    connect(find, &QShortcut::activated, this, [this] { findBar->openBar(); });
    addNetworkSettingsShortcut(this, api);
    auto* jump = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_K), this);
    jump->setContext(Qt::WindowShortcut);
    connect(jump, &QShortcut::activated, this, [this] { openJumpList(); });

    transcript->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(transcript, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& position) { showTranscriptMenu(position); });
    for (QListWidget* list : {conversationList, privateList}) {
        list->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(list, &QWidget::customContextMenuRequested, this,
                [this, list](const QPoint& position) { showListMenu(list, position); });
    }
}

// --- copy ---

void ChatWindow::showTranscriptMenu(const QPoint& position)
{
    const QPoint scrolled(transcript->horizontalScrollBar()->value(),
                          transcript->verticalScrollBar()->value());
    // Owned by the pane as well: a guarded pointer, so that the two never both delete it.
    const QPointer<QMenu> menu = transcript->createStandardContextMenu(position + scrolled);
    const int at = transcript->cursorForPosition(position).position();
    const QString code = codeBlockTextAt(transcript->document(), at);
    const int reply = shownTurns->replyAt(at);
    if (!code.isNull() || reply >= 0)
        menu->addSeparator();
    if (!code.isNull()) {
        menu->addAction(QStringLiteral("复制代码"), this,
                        [code] { QGuiApplication::clipboard()->setText(code); });
    }
    if (reply >= 0) {
        const QString markdown =
            shownTurns->drawn().at(reply).toObject().value("content").toString();
        menu->addAction(QStringLiteral("复制此回复"), this,
                        [markdown] { QGuiApplication::clipboard()->setText(markdown); });
    }
    addNetworkSettingsEntry(menu);
    menu->exec(transcript->viewport()->mapToGlobal(position));
    delete menu.data();
}

void ChatWindow::addNetworkSettingsEntry(QMenu* menu)
{
    if (!menu->isEmpty())
        menu->addSeparator();
    menu->addAction(networkSettingsActionText(), this, [this] { openNetworkSettings(this, api); });
}

// --- jump ---

void ChatWindow::openJumpList()
{
    QList<JumpTarget> targets;
    for (QListWidget* list : {conversationList, privateList}) {
        for (int row = 0; row < list->count(); ++row) {
            const QListWidgetItem* item = list->item(row);
            targets.append({item->data(Qt::AccessibleTextRole).toString(),
                            item->data(Qt::UserRole).toString(), list == privateList});
        }
    }
    auto* popup = new JumpList(this, targets, [this](const JumpTarget& target) { jumpTo(target); });
    popup->show();
    popup->field()->setFocus(Qt::PopupFocusReason);
}

void ChatWindow::jumpTo(const JumpTarget& target)
{
    // As a click on the list: nothing while a reply is being written.
    if (busy)
        return;
    QListWidget* list = target.isPrivate ? privateList : conversationList;
    for (int row = 0; row < list->count(); ++row) {
        QListWidgetItem* item = list->item(row);
        if (item->data(Qt::UserRole).toString() != target.id)
            continue;
        list->setCurrentItem(item);
        emit list->itemClicked(item);
        return;
    }
}

// --- export ---

void ChatWindow::showListMenu(QListWidget* list, const QPoint& position)
{
    const QListWidgetItem* item = list->itemAt(position);
    const bool privateThread = list == privateList;
    QMenu menu;
    if (item) {
        const QString id = item->data(Qt::UserRole).toString();
        menu.addAction(exportAction, this,
                       [this, privateThread, id] { exportConversation(privateThread, id); });
    }
    if (privateThread) {
        // Whole-store actions, on an item and on the list's empty area alike.
        if (item)
            menu.addSeparator();
        QAction* backUp = menu.addAction(backUpAction, this, [this] { backUpPrivateThreads(); });
        backUp->setEnabled(privateAvailable && !backupRunning && !threads.isEmpty());
        QAction* restore = menu.addAction(restoreAction, this, [this] { restorePrivateThreads(); });
        restore->setEnabled(privateAvailable && !backupRunning);
    }
    addNetworkSettingsEntry(&menu);
    menu.exec(list->viewport()->mapToGlobal(position));
}

void ChatWindow::exportConversation(bool privateThread, const QString& id)
{
    if (privateThread) {
        const int index = findPrivateThread(id);
        if (index < 0)
            return;
        const QJsonObject thread = threads.at(index).toObject();
        QPointer<ChatWindow> window(this);
        const auto answer = QMessageBox::warning(
            this, QStringLiteral("导出隐私对话"),
            QStringLiteral("导出的文件不加密，能打开这个文件的人都能读到这段对话。"),
            QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel);
        if (!window || answer != QMessageBox::Ok)
            return;
        saveExport(thread.value("title").toString(), modelName(thread.value("model").toString()),
                   thread.value("messages").toArray());
        return;
    }
    // The turns as opening the conversation fetches them.
    service::fetchConversation(
        *api, id, whileOpen([this](const service::CloudConversation& conversation) {
            saveExport(conversation.title, modelName(conversation.model), conversation.messages);
        }),
        showFailure());
}

void ChatWindow::saveExport(const QString& title, const QString& model, const QJsonArray& turns)
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    // On the heap and guarded: the dialog runs its own event loop, during which the window
    // (its parent) could go.
    QPointer<ChatWindow> window(this);
    const QPointer<QFileDialog> dialog = new QFileDialog(
        this, QStringLiteral("导出为 Markdown"), QDir(folder).filePath(exportFileName(title)),
        QStringLiteral("Markdown 文件 (*.md)"));
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setDefaultSuffix(QStringLiteral("md"));
    const bool accepted = dialog->exec() == QDialog::Accepted;
    const QStringList chosen = dialog ? dialog->selectedFiles() : QStringList();
    delete dialog.data();
    if (!window || !accepted || chosen.isEmpty())
        return;
    const QString path = chosen.constFirst();
    const bool written = writeWholeFile(path, conversationMarkdown(title, model, turns));
    chatNotice->setText((written ? QStringLiteral("已导出到 %1")
                                 : QStringLiteral("导出失败，文件未能写入 %1，请检查文件夹权限。"))
                            .arg(QDir::toNativeSeparators(path)));
}
