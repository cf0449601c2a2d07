#pragma once

#include <string>
#include <string_view>

namespace kestrune
{

// Initialises libsodium once; throws when the library cannot be used.
void initSecurity();

std::string randomHex(std::size_t bytes);

// Six decimal digits, uniformly drawn, leading zeros kept.
std::string randomCode();

// BLAKE2b-256 of the text, hex. Tokens and codes are stored only in this form.
std::string digestHex(std::string_view text);

// argon2id through crypto_pwhash_str (interactive limits). At most a couple of hashes run at
// once so that a burst of logins cannot exhaust memory (each hash takes 64 MiB).
std::string hashPassword(std::string_view password);
bool verifyPassword(const std::string& hash, std::string_view password);

// Spends the same time as a real check, for logins naming no account.
void verifyAgainstDummy(std::string_view password);

bool constantTimeEquals(std::string_view a, std::string_view b);

} // namespace kestrune
