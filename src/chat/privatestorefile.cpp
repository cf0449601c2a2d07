#include "chat/privatestorefile.h"

#include "api/sealedfile.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <filesystem>
#include <system_error>

namespace
{

PrivateStoreContent readStore(const QString& fileName)
{
    return readPrivateStore(readSealedFile(fileName), QFileInfo::exists(appDataFilePath(fileName)));
}

// A name no store, copy or interrupted save has: "<name>.damaged-<date>-<time>[-n]".
QString damagedName(const QString& fileName)
{
    const QString base = fileName + QStringLiteral(".damaged-") +
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString name = base;
    for (int n = 2; QFileInfo::exists(appDataFilePath(name)); ++n)
        name = base + QLatin1Char('-') + QString::number(n);
    return name;
}

// The copy shares the file's data where the file system can (a second name costs nothing,
// and the save that follows gives the store a new file rather than rewriting this one). It is
// made under a staging name and then renamed over the old copy, so that a crash at any moment
// leaves a whole copy in place.
void keepCopy(const QString& path, const QString& copyPath)
{
    if (!QFileInfo::exists(path))
        return;
    namespace fs = std::filesystem;
    const fs::path copy = QFileInfo(copyPath).filesystemAbsoluteFilePath();
    const fs::path staging =
        QFileInfo(copyPath + QStringLiteral(".new")).filesystemAbsoluteFilePath();
    std::error_code error;
    fs::remove(staging, error);
    fs::create_hard_link(QFileInfo(path).filesystemAbsoluteFilePath(), staging, error);
    if (error && !QFile::copy(path, copyPath + QStringLiteral(".new")))
        return;
    fs::rename(staging, copy, error);
    if (error) { // a system whose rename does not replace
        fs::remove(copy, error);
        fs::rename(staging, copy, error);
    }
}

} // namespace

QString lastGoodCopyName(const QString& fileName)
{
    return fileName + QStringLiteral(".last-good");
}

LoadedPrivateStore loadPrivateStoreFile(const QString& fileName)
{
    LoadedPrivateStore loaded;
    loaded.content = readStore(fileName);
    if (loaded.content.problem == PrivateStoreContent::Problem::None)
        return loaded;

    const QString copyName = lastGoodCopyName(fileName);
    if (!QFileInfo::exists(appDataFilePath(copyName)))
        return loaded;
    PrivateStoreContent copy = readStore(copyName);
    if (copy.problem != PrivateStoreContent::Problem::None)
        return loaded;
    // Only once the damaged file is out of the way may the copy stand in for it: the next
    // save would otherwise keep the damaged file as the last good copy.
    const QString aside = damagedName(fileName);
    if (!QFile::rename(appDataFilePath(fileName), appDataFilePath(aside)))
        return loaded;
    loaded.content = std::move(copy);
    loaded.damagedFileName = aside;
    return loaded;
}

bool savePrivateStoreFile(const QString& fileName, const QJsonArray& threads)
{
    keepCopy(appDataFilePath(fileName), appDataFilePath(lastGoodCopyName(fileName)));
    return writeSealedFile(fileName, privateStoreBytes(threads));
}
