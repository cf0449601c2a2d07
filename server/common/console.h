#pragma once

#include <string>

namespace kestrune
{

// Writes one line to stdout and flushes it, safe from any thread.
void consoleLine(const std::string& line);

} // namespace kestrune
