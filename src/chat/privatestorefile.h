#pragma once

#include "chat/privatestorecontent.h"

#include <QJsonArray>
#include <QString>

// The private store's sealed file in the application-data folder, and beside it the last good
// copy: the file as it was before the latest save ("<name>.last-good").

struct LoadedPrivateStore {
    PrivateStoreContent content;
    // Set when the file was damaged and its last good copy was read instead: the name the
    // damaged file was moved to, so that nothing of it is lost.
    QString damagedFileName;
};

// Reads the store `fileName`. When it does not unseal or parse but its last good copy does,
// the copy's threads are used and the damaged file is moved aside (never deleted). A file
// whose copy does not open either (sealed for someone else, or both damaged) is left alone.
LoadedPrivateStore loadPrivateStoreFile(const QString& fileName);

// Keeps the file as it is now as the last good copy, then replaces it with `threads`.
bool savePrivateStoreFile(const QString& fileName, const QJsonArray& threads);

QString lastGoodCopyName(const QString& fileName);
