#include "api/session.h"

#include "api/api.h"
#include "api/sealedfile.h"

#include <QFile>
#include <QFileInfo>

namespace
{

bool removeSessionFile()
{
    const QString path = appDataFilePath(sessionFileName);
    if (QFile::remove(path) || !QFileInfo::exists(path))
        return true;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.size() == 0;
}

} // namespace

QString loadSessionToken()
{
    return QString::fromUtf8(readSealedFile(sessionFileName));
}

void adoptSessionToken(Api& api, const QString& token)
{
    api.token = token;
    if (!writeSealedFile(sessionFileName, token.toUtf8()))
        removeSessionFile();
}

bool dropSession(Api& api)
{
    api.token.clear();
    return removeSessionFile();
}
