#pragma once

#include <QByteArray>
#include <QString>

// Writes `bytes` as the whole content of `path`: on any failure the old file (or none) is
// left as it was. `ownerOnly` keeps it to its owner where the file system has permissions.
// False on failure.
bool writeWholeFile(const QString& path, const QByteArray& bytes, bool ownerOnly = false);
