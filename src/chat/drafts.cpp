#include "chat/drafts.h"

#include "api/sealedfile.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include <algorithm>

namespace
{

// Drafts of conversations deleted elsewhere are never dropped by the user: the oldest go
// beyond this many.
constexpr qsizetype mostDrafts = 500;

} // namespace

QString Drafts::fileNameFor(const QString& accountId)
{
    return QStringLiteral("drafts-") + QString::fromLatin1(QUrl::toPercentEncoding(accountId)) +
           QStringLiteral(".bin");
}

Drafts::Drafts(const QString& accountId) : fileName(fileNameFor(accountId))
{
    if (!QFile::exists(appDataFilePath(fileName)))
        return;
    const QJsonDocument document = QJsonDocument::fromJson(readSealedFile(fileName));
    const QJsonObject drafts = document.object().value("drafts").toObject();
    if (!document.isObject() || document.object().value("version").toInt() != 1) {
        fileUnreadable = true;
        return;
    }
    for (auto it = drafts.begin(); it != drafts.end(); ++it) {
        const QJsonObject draft = it.value().toObject();
        const QString text = draft.value("text").toString();
        if (!text.isEmpty())
            kept.insert(it.key(), {text, qint64(draft.value("at").toDouble())});
    }
}

bool Drafts::set(const QString& key, const QString& text)
{
    const auto found = kept.constFind(key);
    if (text.isEmpty()) {
        if (found == kept.cend())
            return false;
        kept.erase(found);
    } else {
        if (found != kept.cend() && found->text == text)
            return false;
        kept.insert(key, {text, QDateTime::currentSecsSinceEpoch()});
    }
    changed = true;
    return true;
}

bool Drafts::save()
{
    if (!changed || fileUnreadable)
        return !changed;
    if (kept.size() > mostDrafts) {
        QList<std::pair<qint64, QString>> ages;
        for (auto it = kept.cbegin(); it != kept.cend(); ++it)
            ages.append({it->at, it.key()});
        std::sort(ages.begin(), ages.end());
        for (qsizetype i = 0; i < ages.size() - mostDrafts; ++i)
            kept.remove(ages.at(i).second);
    }
    QJsonObject drafts;
    for (auto it = kept.cbegin(); it != kept.cend(); ++it)
        drafts.insert(it.key(), QJsonObject{{"text", it->text}, {"at", double(it->at)}});
    const QJsonObject document{{"version", 1}, {"drafts", drafts}};
    if (!writeSealedFile(fileName, QJsonDocument(document).toJson(QJsonDocument::Compact)))
        return false;
    changed = false;
    return true;
}
