#include "api/sealedfile.h"

#include "api/sealing.h"
#include "api/wholefile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

#include <utility>

QString appDataFilePath(const QString& fileName)
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/" + fileName;
}

bool writeSealedFile(const QString& fileName, QByteArray&& data)
{
    QByteArray sealed = std::move(data);
    if (!sealing::seal(sealed))
        return false;

    const QString path = appDataFilePath(fileName);
    QDir().mkpath(QFileInfo(path).absolutePath());

    // Owner-only: the content is sealed, but nobody else needs to see it either.
    return writeWholeFile(path, sealed, true);
}

bool writeSealedFile(const QString& fileName, const QByteArray& data)
{
    return writeSealedFile(fileName, QByteArray(data));
}

QByteArray readSealedFile(const QString& fileName)
{
    QFile file(appDataFilePath(fileName));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray data = file.readAll();
    if (!sealing::unseal(data))
        return {};
    return data;
}

void removeInterruptedSaves()
{
    // The temporary file of a save is its target's name and six random letters or digits.
    static const QRegularExpression temporary(
        QStringLiteral("^(.+\\.bin|sealing\\.key)\\.[A-Za-z0-9]{6}$"));
    const QDateTime stale = QDateTime::currentDateTimeUtc().addSecs(-5 * 60);
    const QString folders[] = {QStandardPaths::writableLocation(QStandardPaths::AppDataLocation),
                               QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation)};
    for (const QString& folder : folders) {
        const QFileInfoList files = QDir(folder).entryInfoList(QDir::Files | QDir::Hidden);
        for (const QFileInfo& file : files) {
            if (temporary.match(file.fileName()).hasMatch() && file.lastModified() < stale)
                QFile::remove(file.absoluteFilePath());
        }
    }
}
