#pragma once

// Per-user sealing of byte strings, one implementation per platform.
// Qt-free so that the Windows implementation can be checked by a cross compiler.

#include <string>

namespace sealing
{

inline constexpr const char* description = "KestruneAI local data";

// False when the platform refuses to seal; `sealed` is then unspecified.
bool seal(const std::string& plain, std::string& sealed);

// False when the bytes were sealed by another user or machine, or are damaged.
bool unseal(const std::string& sealed, std::string& plain);

} // namespace sealing
