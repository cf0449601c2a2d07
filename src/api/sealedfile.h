#pragma once

#include <QByteArray>
#include <QString>

// Seals `data` for the current user and atomically replaces `fileName` in the
// application-data directory. True only when the new content is safely in place.
// Given its bytes to keep, the function seals them where they lie instead of in a copy.
bool writeSealedFile(const QString& fileName, QByteArray&& data);
bool writeSealedFile(const QString& fileName, const QByteArray& data);

// The plain bytes sealed in `fileName`, or empty bytes on any failure.
QByteArray readSealedFile(const QString& fileName);

// Absolute path of `fileName` in the application-data directory.
QString appDataFilePath(const QString& fileName);

// Removes what saves cut short by a crash left behind: the temporary files of sealed files
// ("<name>.bin.XXXXXX") and of the sealing key ("sealing.key.XXXXXX"). Only files untouched
// for some minutes go, so a save another running copy of the program is making is spared.
void removeInterruptedSaves();
