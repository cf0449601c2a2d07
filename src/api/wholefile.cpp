#include "api/wholefile.h"

#include <QSaveFile>

bool writeWholeFile(const QString& path, const QByteArray& bytes, bool ownerOnly)
{
    QSaveFile file(path);
    // Unbuffered, so a short write (full disk, size limit) shows in write()'s count
    // instead of vanishing in a flush that commit() does not report.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    // A file system without permissions refuses this; the save itself is still good there.
    if (ownerOnly)
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return file.commit();
}
