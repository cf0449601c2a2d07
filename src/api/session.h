#pragma once

#include <QString>

class Api;

// The saved bearer token survives restarts sealed in "session.bin". The token in the Api
// and the file change together, through these two.
inline constexpr const char* sessionFileName = "session.bin";

// The token the Api starts with: the saved one, or empty.
QString loadSessionToken();

// Signs in with `token`: the Api uses it from now on and the next start restores it. When
// it cannot be saved, the file of an earlier session is removed, so that the next start
// does not restore that other session.
void adoptSessionToken(Api& api, const QString& token);

// Signs out here: the Api forgets its token and the saved session goes. Where the folder
// refuses the deletion, the file is emptied instead, so that it no longer opens. False only
// when the file still holds a session: the machine then keeps the sign-in and the user must
// be told.
bool dropSession(Api& api);
