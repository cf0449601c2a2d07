#pragma once

#include <QJsonArray>
#include <QString>

#include <functional>

struct BackupMerge {
    QJsonArray threads; // the store's threads, then the restored ones in the backup's order
    int restored = 0;
    int skipped = 0;
};

// Adds a backup's threads to the store's without changing or dropping any of the store's:
// - a thread the store already holds as it is is skipped;
// - one whose id the store holds with other content is added beside it, under a new id
//   and with its title marked as restored, unless that copy is already there too;
// - any other is added as it is.
// Entries that are not thread records are skipped. `newId` makes the id of a copy.
BackupMerge mergeBackupThreads(const QJsonArray& store, const QJsonArray& backup,
                               const std::function<QString()>& newId);

// The title of a thread restored beside one of the same id.
QString restoredTitle(const QString& title);
