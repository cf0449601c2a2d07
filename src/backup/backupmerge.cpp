#include "backup/backupmerge.h"

#include <QHash>
#include <QJsonObject>
#include <QSet>

namespace
{

QString idOf(const QJsonObject& thread)
{
    return thread.value("id").toString();
}

// A copy's content without its id: what tells whether the same copy is there already.
QJsonObject withoutId(QJsonObject thread)
{
    thread.remove("id");
    return thread;
}

} // namespace

QString restoredTitle(const QString& title)
{
    return title + QStringLiteral("（从备份恢复）");
}

BackupMerge mergeBackupThreads(const QJsonArray& store, const QJsonArray& backup,
                               const std::function<QString()>& newId)
{
    BackupMerge merge;
    merge.threads = store;
    QHash<QString, QJsonObject> byId;
    QSet<QJsonObject> copies; // every thread's content without its id, to find copies
    const auto remember = [&](const QJsonObject& thread) {
        byId.insert(idOf(thread), thread);
        copies.insert(withoutId(thread));
    };
    for (const QJsonValue& value : store)
        remember(value.toObject());

    for (const QJsonValue& value : backup) {
        QJsonObject thread = value.toObject();
        const QString id = idOf(thread);
        if (!value.isObject() || id.isEmpty()) {
            ++merge.skipped;
            continue;
        }
        const auto present = byId.constFind(id);
        if (present != byId.cend()) {
            if (*present == thread) {
                ++merge.skipped;
                continue;
            }
            thread.insert("title", restoredTitle(thread.value("title").toString()));
            if (copies.contains(withoutId(thread))) {
                ++merge.skipped;
                continue;
            }
            thread.insert("id", newId());
        }
        merge.threads.append(thread);
        remember(thread);
        ++merge.restored;
    }
    return merge;
}
