#include "api/settingsfile.h"

#include <QStandardPaths>

namespace settingsfile
{

QString path()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) +
           QStringLiteral("/settings.ini");
}

std::unique_ptr<QSettings> open()
{
    return std::make_unique<QSettings>(path(), QSettings::IniFormat);
}

QVariant read(const QString& key, const QVariant& fallback,
              const std::function<bool(const QString&)>& accept)
{
    const QVariant stored = open()->value(key);
    // A list or a byte array written by something else is not any value of ours. What this
    // program wrote in the same run comes back with its type; from the file, as text.
    switch (stored.typeId()) {
    case QMetaType::QString:
    case QMetaType::Int:
    case QMetaType::Bool:
        break;
    default:
        return fallback;
    }
    const QString text = stored.toString().trimmed();
    return accept(text) ? QVariant(text) : fallback;
}

int readInt(const QString& key, int fallback, int low, int high)
{
    const QVariant value = read(key, fallback, [low, high](const QString& text) {
        bool ok = false;
        const int number = text.toInt(&ok);
        return ok && number >= low && number <= high;
    });
    return value.toInt();
}

bool readBool(const QString& key, bool fallback)
{
    const QString text =
        read(key, QString(), [](const QString& stored) {
            return stored == QLatin1String("true") || stored == QLatin1String("false");
        }).toString();
    return text.isEmpty() ? fallback : text == QLatin1String("true");
}

bool write(const QString& key, const QVariant& value)
{
    const std::unique_ptr<QSettings> file = open();
    file->setValue(key, value);
    file->sync();
    return file->status() == QSettings::NoError;
}

} // namespace settingsfile
