#pragma once

#include <QJsonObject>
#include <QString>

// The notice after a completed reply, from the final event's object: the credits it used,
// and whether the service cut it short.
QString replySummary(const QJsonObject& result);
