#pragma once

// Per-user sealing of byte strings, one implementation per platform. Both work in place, so
// that a large private store is not held twice (or three times) while it is sealed or read.

#include <QByteArray>

namespace sealing
{

inline constexpr const char* description = "KestruneAI local data";

// Replaces `data` with its sealed form. False when the platform refuses to seal; `data` is
// then unspecified.
bool seal(QByteArray& data);

// Replaces sealed `data` with the plain bytes. False when the bytes were sealed by another
// user or machine, or are damaged; `data` is then unspecified.
bool unseal(QByteArray& data);

} // namespace sealing
