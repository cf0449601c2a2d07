#include "api/api.h"
#include "chat/chatwindow.h"
#include "chat/privatestorefile.h"

#include <QLabel>

QString ChatWindow::privateStoreFileName() const
{
    return ::privateStoreFileName(user.value("id").toString());
}

void ChatWindow::loadPrivateStore()
{
    const QString fileName = privateStoreFileName();
    const LoadedPrivateStore loaded = loadPrivateStoreFile(fileName);
    const PrivateStoreContent& content = loaded.content;
    switch (content.problem) {
    case PrivateStoreContent::Problem::CannotOpen:
        privateAvailable = false;
        chatNotice->setText(QStringLiteral("本机隐私记录无法解密，隐私对话暂不可用。"));
        return;
    case PrivateStoreContent::Problem::NotAStore:
        privateAvailable = false;
        chatNotice->setText(QStringLiteral("本机隐私记录格式无效，隐私对话暂不可用。"));
        return;
    case PrivateStoreContent::Problem::None:
        break;
    }
    threads = content.threads;
    refreshPrivateList();
    if (!loaded.damagedFileName.isEmpty()) {
        storeRecoveryNotice =
            QStringLiteral("本机隐私记录已损坏，已改用上次保存的完好副本；损坏的文件保留为 %1。")
                .arg(loaded.damagedFileName);
    }
}

bool ChatWindow::savePrivateStore()
{
    // A store that could not be read must never be replaced by the empty in-memory copy.
    if (!privateAvailable)
        return false;
    if (!savePrivateStoreFile(privateStoreFileName(), threads)) {
        chatNotice->setText(QStringLiteral("本机隐私对话保存失败，请检查磁盘权限。"));
        return false;
    }
    return true;
}

void ChatWindow::savePrivateStoreInBackground(std::function<void(bool)> done)
{
    if (!privateAvailable) {
        done(false);
        return;
    }
    storeWriter.save(privateStoreFileName(), threads, this, std::move(done));
}
