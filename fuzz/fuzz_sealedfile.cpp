// The sealed-file reader on any file content: it never accepts bytes it did not seal, and
// what it sealed reads back exactly, however it was stored.

#include "api/sealedfile.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace
{

// A home of its own for the key and the files, made once for the whole run.
void setUpOnce()
{
    static QTemporaryDir* home = [] {
        auto* dir = new QTemporaryDir;
        qputenv("HOME", dir->path().toUtf8());
        qputenv("XDG_DATA_HOME", (dir->path() + "/data").toUtf8());
        qputenv("XDG_CONFIG_HOME", (dir->path() + "/config").toUtf8());
        QCoreApplication::setApplicationName(QStringLiteral("KestruneAI"));
        return dir;
    }();
    (void)home;
}

void putFile(const QString& name, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(appDataFilePath(name)).absolutePath());
    QFile file(appDataFilePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    setUpOnce();
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));

    // Content never sealed here reads as nothing (the reader's only answer for a refusal).
    putFile(QStringLiteral("foreign.bin"), input);
    if (!readSealedFile(QStringLiteral("foreign.bin")).isEmpty())
        std::abort();

    // Sealed here, it reads back; with one byte changed, it reads as nothing.
    if (!writeSealedFile(QStringLiteral("own.bin"), input))
        std::abort();
    if (readSealedFile(QStringLiteral("own.bin")) != input)
        std::abort();
    QFile file(appDataFilePath(QStringLiteral("own.bin")));
    if (!file.open(QIODevice::ReadOnly))
        std::abort();
    QByteArray sealed = file.readAll();
    file.close();
    const qsizetype at = size > 0 ? qsizetype(data[0]) * 131 % sealed.size() : 0;
    sealed[at] = char(sealed.at(at) ^ (size > 1 ? (data[1] | 1) : 1));
    putFile(QStringLiteral("own.bin"), sealed);
    if (!readSealedFile(QStringLiteral("own.bin")).isEmpty())
        std::abort();
    return 0;
}
