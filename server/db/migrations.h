#pragma once

#include <string_view>
#include <vector>

namespace kestrune
{

// The schema as SQL steps, one list per engine: entry N moves it from version N to N + 1, and
// version N means the same tables in both. Entries are never edited once released; changes are
// appended to both lists.
const std::vector<std::string_view>& sqliteMigrations();
const std::vector<std::string_view>& postgresMigrations();

} // namespace kestrune
