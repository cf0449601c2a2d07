#include "chat/privatestorecontent.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

PrivateStoreContent readPrivateStore(const QByteArray& plain, bool fileExists)
{
    PrivateStoreContent content;
    if (plain.isEmpty()) {
        if (fileExists)
            content.problem = PrivateStoreContent::Problem::CannotOpen;
        return content;
    }
    const QJsonDocument document = QJsonDocument::fromJson(plain);
    if (!document.isObject()) {
        content.problem = PrivateStoreContent::Problem::NotAStore;
        return content;
    }
    content.threads = document.object().value("threads").toArray();
    return content;
}

QByteArray privateStoreBytes(const QJsonArray& threads)
{
    return QJsonDocument(QJsonObject{{"threads", threads}}).toJson(QJsonDocument::Compact);
}

QString privateStoreFileName(const QString& accountId)
{
    return QStringLiteral("private-") + QString::fromLatin1(QUrl::toPercentEncoding(accountId)) +
           QStringLiteral(".bin");
}
