#include "api.h"
#include "chatwindow.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QLabel>
#include <QUrl>

QString ChatWindow::privateStoreFileName() const
{
    // The id comes from the service and ends up in a path: anything beyond the characters
    // that are safe in a file name everywhere is percent-encoded, so an id holding "/" or
    // "\" cannot point outside the application-data directory. Ordinary ids stay as they are.
    const QString id = user.value("id").toString();
    return QStringLiteral("private-") + QString::fromLatin1(QUrl::toPercentEncoding(id)) +
           QStringLiteral(".bin");
}

void ChatWindow::loadPrivateStore()
{
    const QString fileName = privateStoreFileName();
    const QByteArray plain = readSealedFile(fileName);
    if (plain.isEmpty() && QFileInfo::exists(appDataFilePath(fileName))) {
        privateAvailable = false;
        chatNotice->setText(QStringLiteral("本机隐私记录无法解密，隐私对话暂不可用。"));
        return;
    }
    const QJsonDocument document = QJsonDocument::fromJson(plain);
    if (!plain.isEmpty() && !document.isObject()) {
        privateAvailable = false;
        chatNotice->setText(QStringLiteral("本机隐私记录格式无效，隐私对话暂不可用。"));
        return;
    }
    threads = document.object().value("threads").toArray();
    refreshPrivateList();
}

bool ChatWindow::savePrivateStore()
{
    // A store that could not be read must never be replaced by the empty in-memory copy.
    if (!privateAvailable)
        return false;
    const QByteArray bytes =
        QJsonDocument(QJsonObject{{"threads", threads}}).toJson(QJsonDocument::Compact);
    if (!writeSealedFile(privateStoreFileName(), bytes)) {
        chatNotice->setText(QStringLiteral("本机隐私对话保存失败，请检查磁盘权限。"));
        return false;
    }
    return true;
}
