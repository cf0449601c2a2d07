#pragma once

#include <QString>

class LoginWindowProbe;

// Registers "lin_wei" with `email` through the sign-in window's own controls, against a
// scripted service that accepts it: true once the code row shows.
bool registerUntilCodeRow(const LoginWindowProbe& probe, const QString& email);
