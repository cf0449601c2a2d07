#pragma once

#include <QString>

// The saved bearer token survives restarts sealed in "session.bin".
inline constexpr const char* sessionFileName = "session.bin";

QString loadSessionToken();
bool saveSessionToken(const QString& token);
void deleteSessionFile();
