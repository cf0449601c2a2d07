#include "api/sealedfile.h"

#include "api/sealing.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>

QString appDataFilePath(const QString& fileName)
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/" + fileName;
}

bool writeSealedFile(const QString& fileName, const QByteArray& data)
{
    std::string sealed;
    if (!sealing::seal(data.toStdString(), sealed))
        return false;

    const QString path = appDataFilePath(fileName);
    QDir().mkpath(QFileInfo(path).absolutePath());

    QSaveFile file(path);
    // Unbuffered, so a short write (full disk, size limit) shows in write()'s count
    // instead of vanishing in a flush that commit() does not report.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    const auto size = static_cast<qint64>(sealed.size());
    if (file.write(sealed.data(), size) != size) {
        file.cancelWriting();
        return false;
    }
    // Owner-only: the content is sealed, but nobody else needs to see it either. A file
    // system without permissions refuses this; the save itself is still good there.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return file.commit();
}

QByteArray readSealedFile(const QString& fileName)
{
    QFile file(appDataFilePath(fileName));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray sealed = file.readAll();
    std::string plain;
    if (!sealing::unseal(sealed.toStdString(), plain))
        return {};
    return QByteArray::fromStdString(plain);
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
