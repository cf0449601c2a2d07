#include "api/api.h"
#include "chat/chatwindow.h"
#include "chat/privatestorecontent.h"

#include <QFileInfo>
#include <QLabel>

QString ChatWindow::privateStoreFileName() const
{
    return ::privateStoreFileName(user.value("id").toString());
}

void ChatWindow::loadPrivateStore()
{
    const QString fileName = privateStoreFileName();
    const PrivateStoreContent content =
        readPrivateStore(readSealedFile(fileName), QFileInfo::exists(appDataFilePath(fileName)));
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
}

bool ChatWindow::savePrivateStore()
{
    // A store that could not be read must never be replaced by the empty in-memory copy.
    if (!privateAvailable)
        return false;
    if (!writeSealedFile(privateStoreFileName(), privateStoreBytes(threads))) {
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
