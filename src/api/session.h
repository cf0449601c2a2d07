#pragma once

#include <QString>

// The saved bearer token survives restarts sealed in "session.bin".
inline constexpr const char* sessionFileName = "session.bin";

QString loadSessionToken();
bool saveSessionToken(const QString& token);

// Removes "session.bin". Where the folder refuses the deletion, the file is emptied instead,
// so that it no longer opens and the next start is signed out. False only when the file
// still holds a session: the machine then keeps the sign-in and the user must be told.
bool deleteSessionFile();
