#include "session.h"

#include "sealedfile.h"

#include <QFile>

QString loadSessionToken()
{
    return QString::fromUtf8(readSealedFile(sessionFileName));
}

bool saveSessionToken(const QString& token)
{
    return writeSealedFile(sessionFileName, token.toUtf8());
}

void deleteSessionFile()
{
    QFile::remove(appDataFilePath(sessionFileName));
}
