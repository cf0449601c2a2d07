#pragma once

#include <QJsonArray>

// How many earlier turns of a private thread travel with a new prompt.
inline constexpr qsizetype privateHistoryLimit = 29;

// The most recent `limit` records of `confirmed`, oldest first, each exactly as stored.
QJsonArray recentHistory(const QJsonArray& confirmed, qsizetype limit = privateHistoryLimit);
