#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// The title of a private thread nobody has named yet.
QString defaultThreadTitle();

// The index of the thread record with that "id", or -1.
qsizetype findThread(const QJsonArray& threads, const QString& id);

// A new, empty thread record made `now` (seconds since the epoch).
QJsonObject newThreadRecord(const QString& id, const QString& model, qint64 now);

// `thread` after an exchange or a change of model: its model and messages replaced, updated
// `now`; a thread still under the default title takes its automatic title from the first
// message (threadtitle.h).
QJsonObject withTurns(QJsonObject thread, const QString& model, const QJsonArray& messages,
                      qint64 now);
