#pragma once

#include <cstdint>
#include <string>

namespace kestrune
{

// Wall-clock time in milliseconds since the epoch, as stored and sent.
std::int64_t nowMs();
// "2026-01-31T12:00:00Z" for a time in milliseconds since the epoch.
std::string isoTime(std::int64_t ms);

} // namespace kestrune
