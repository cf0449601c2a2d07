#include "session.h"

#include "sealedfile.h"

#include <QFile>
#include <QFileInfo>

QString loadSessionToken()
{
    return QString::fromUtf8(readSealedFile(sessionFileName));
}

bool saveSessionToken(const QString& token)
{
    return writeSealedFile(sessionFileName, token.toUtf8());
}

bool deleteSessionFile()
{
    const QString path = appDataFilePath(sessionFileName);
    if (QFile::remove(path) || !QFileInfo::exists(path))
        return true;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.size() == 0;
}
