#pragma once

#include <QByteArray>
#include <QString>

// Seals `data` for the current user and atomically replaces `fileName` in the
// application-data directory. True only when the new content is safely in place.
bool writeSealedFile(const QString& fileName, const QByteArray& data);

// The plain bytes sealed in `fileName`, or empty bytes on any failure.
QByteArray readSealedFile(const QString& fileName);

// Absolute path of `fileName` in the application-data directory.
QString appDataFilePath(const QString& fileName);
