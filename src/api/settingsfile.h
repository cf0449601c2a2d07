#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>

#include <functional>
#include <memory>

// The user's preferences, all in one file: "settings.ini" in the platform's configuration
// folder for the application. Secrets never go here (the proxy password is sealed apart).
// Every reading is checked: a value that is missing, malformed or out of range reads as the
// default, so a hand-edited or foreign file never breaks the program.
namespace settingsfile
{

QString path();

// The file, opened for one reading or change; changes are written when it goes.
std::unique_ptr<QSettings> open();

// The value of `key` as `accept` allows it (given the stored text), else `fallback`.
QVariant read(const QString& key, const QVariant& fallback,
              const std::function<bool(const QString&)>& accept);
int readInt(const QString& key, int fallback, int low, int high);
bool readBool(const QString& key, bool fallback);

// False when the file could not be written.
bool write(const QString& key, const QVariant& value);

} // namespace settingsfile
