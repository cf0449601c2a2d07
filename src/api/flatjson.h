#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QJsonObject>
#include <QLatin1StringView>
#include <QString>

// Reading the JSON data of a reply-stream event.

// The data as a JSON object: empty when the data is empty, not JSON or no object.
QJsonObject eventObject(const QByteArray& data);

// The member `key` of eventObject(data) read as a string (empty when missing or not a
// string). Small flat objects, every "delta" among them, are read without building the
// object, straight from the bytes; anything else goes through eventObject, so the result is
// always the same.
QString eventString(QByteArrayView data, QLatin1StringView key);
