#include "api/wholefile.h"
#include "backup/backupmerge.h"
#include "backup/passphrasedialog.h"
#include "backup/privatebackup.h"
#include "chat/chatwindow.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUuid>

namespace
{

const QString backupFilter = QStringLiteral("KestruneAI 隐私对话备份 (*.kbak)");

// "KestruneAI-隐私对话备份-mei-2026-12-08.kbak"; a user name is kept to what file names take.
QString suggestedBackupName(const QString& userName)
{
    static const QRegularExpression unsafe(QStringLiteral("[^\\w\\-.]"),
                                           QRegularExpression::UseUnicodePropertiesOption);
    QString name = userName;
    name.replace(unsafe, QStringLiteral("_"));
    if (name.isEmpty())
        name = QStringLiteral("账户");
    return QStringLiteral("KestruneAI-隐私对话备份-%1-%2.kbak")
        .arg(name, QDate::currentDate().toString(Qt::ISODate));
}

// Asks for a passphrase; empty when the user cancels. The dialog runs its own event loop,
// during which `window` may go: the caller checks it.
QString askPassphrase(QWidget* window, PassphraseDialog::Purpose purpose)
{
    const QPointer<PassphraseDialog> dialog = new PassphraseDialog(window, purpose);
    const bool accepted = dialog->exec() == QDialog::Accepted;
    const QString passphrase = dialog && accepted ? dialog->passphrase() : QString();
    delete dialog.data();
    return passphrase;
}

// The file the user picks in a file dialog; empty when cancelled.
QString askFile(QWidget* window, const QString& title, const QString& suggested, bool save)
{
    const QPointer<QFileDialog> dialog = new QFileDialog(window, title, suggested, backupFilter);
    dialog->setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    if (save)
        dialog->setDefaultSuffix(QStringLiteral("kbak"));
    else
        dialog->setFileMode(QFileDialog::ExistingFile);
    const bool accepted = dialog->exec() == QDialog::Accepted;
    const QStringList chosen = dialog && accepted ? dialog->selectedFiles() : QStringList();
    delete dialog.data();
    return chosen.value(0);
}

QString newThreadId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

} // namespace

void ChatWindow::backUpPrivateThreads()
{
    if (backupRunning || !privateAvailable || threads.isEmpty())
        return;
    QPointer<ChatWindow> window(this);
    const QString passphrase = askPassphrase(this, PassphraseDialog::Purpose::NewBackup);
    if (!window || passphrase.isEmpty())
        return;
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString userName = user.value("username").toString();
    const QString path = askFile(this, QStringLiteral("备份全部隐私对话"),
                                 QDir(folder).filePath(suggestedBackupName(userName)), true);
    if (!window || path.isEmpty() || backupRunning)
        return;

    BackupContent content;
    content.accountId = user.value("id").toString();
    content.userName = userName;
    content.createdAt = QDateTime::currentSecsSinceEpoch();
    content.programVersion = QStringLiteral(KESTRUNE_VERSION);
    content.threads = threads; // shared: the window's later changes detach its own copy
    const int count = int(threads.size());

    backupRunning = true;
    setCursor(Qt::BusyCursor);
    chatNotice->setText(QStringLiteral("正在加密并写入备份…"));
    backupWork.run<bool>(
        this,
        [content, passphrase, path] {
            const QByteArray bytes = backupBytes(content, passphrase, newBackupSecrets());
            // Whole or not at all: a failed or interrupted write leaves no partial backup.
            return !bytes.isEmpty() && writeWholeFile(path, bytes, true);
        },
        [this, path, count](bool written) {
            backupRunning = false;
            unsetCursor();
            const QString shown = QDir::toNativeSeparators(path);
            chatNotice->setText(
                written ? QStringLiteral("已将 %1 个隐私对话备份到 %2").arg(count).arg(shown)
                        : QStringLiteral("备份失败，未能写入 %1，请检查文件夹权限和磁盘空间。")
                              .arg(shown));
        });
}

void ChatWindow::restorePrivateThreads()
{
    if (backupRunning || !privateAvailable)
        return;
    QPointer<ChatWindow> window(this);
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString path = askFile(this, QStringLiteral("从备份恢复"), folder, false);
    if (!window || path.isEmpty())
        return;
    const QString passphrase = askPassphrase(this, PassphraseDialog::Purpose::Restore);
    if (!window || passphrase.isEmpty() || backupRunning)
        return;

    backupRunning = true;
    setCursor(Qt::BusyCursor);
    chatNotice->setText(QStringLiteral("正在打开备份…"));
    backupWork.run<OpenedBackup>(
        this, [path, passphrase] { return openBackupFile(path, passphrase); },
        [this](OpenedBackup opened) {
            backupRunning = false;
            unsetCursor();
            restoreOpenedBackup(opened);
        });
}

void ChatWindow::restoreOpenedBackup(const OpenedBackup& opened)
{
    switch (opened.problem) {
    case OpenedBackup::Problem::TooNew:
        chatNotice->setText(QStringLiteral(
            "这个备份由更新版本的 KestruneAI 制作，请先更新程序再恢复。没有做任何更改。"));
        return;
    case OpenedBackup::Problem::NoMemory:
        chatNotice->setText(QStringLiteral("内存不足，无法打开这个备份。没有做任何更改。"));
        return;
    case OpenedBackup::Problem::Unreadable:
        chatNotice->setText(QStringLiteral(
            "无法打开这个备份：口令不正确，或文件已损坏、不是备份文件。没有做任何更改。"));
        return;
    case OpenedBackup::Problem::None:
        break;
    }
    // A store that went unreadable meanwhile is never written (and saving refuses it).
    if (!privateAvailable)
        return;

    const BackupContent& content = opened.content;
    if (content.accountId != user.value("id").toString()) {
        QPointer<ChatWindow> window(this);
        const QString owner =
            content.userName.isEmpty() ? QStringLiteral("未知用户") : content.userName;
        const auto answer = QMessageBox::question(
            this, QStringLiteral("从备份恢复"),
            QStringLiteral("这个备份属于另一个账户（%1）。仍要把其中的隐私对话恢复到当前账户吗？")
                .arg(owner),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (!window)
            return;
        if (answer != QMessageBox::Yes) {
            chatNotice->setText(QStringLiteral("已取消恢复，没有做任何更改。"));
            return;
        }
    }

    if (content.threads.isEmpty()) {
        chatNotice->setText(QStringLiteral("这个备份里没有隐私对话，没有做任何更改。"));
        return;
    }
    const BackupMerge merge = mergeBackupThreads(threads, content.threads, newThreadId);
    if (merge.restored == 0) {
        chatNotice->setText(QStringLiteral("备份中的对话本机都已有，跳过 %1 个，没有需要恢复的。")
                                .arg(merge.skipped));
        return;
    }
    threads = merge.threads;
    refreshPrivateList();
    chatNotice->setText(QStringLiteral("正在保存恢复的隐私对话…"));
    // Through the store's writer, behind any save still under way, so none overtakes it.
    savePrivateStoreInBackground([this, merge](bool saved) {
        chatNotice->setText(
            saved ? QStringLiteral("已从备份恢复 %1 个隐私对话，跳过 %2 个本机已有的。")
                        .arg(merge.restored)
                        .arg(merge.skipped)
                  : QStringLiteral("已恢复 %1 个隐私对话，但本机隐私对话保存失败，请检查磁盘权限。")
                        .arg(merge.restored));
    });
}
