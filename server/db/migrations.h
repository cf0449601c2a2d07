#pragma once

#include <string_view>
#include <vector>

namespace kestrune
{

// The schema as SQL steps: each entry moves it one version up. Entries are never edited once
// released; changes are appended.
const std::vector<std::string_view>& schemaMigrations();

} // namespace kestrune
