#pragma once

#include <filesystem>
#include <string>

// Runs one SQL statement on the server's database, as an operator or a clock change would.
void sql(const std::filesystem::path& dataDir, const std::string& statement);
// The first column of every row of a query, each followed by a line break.
std::string sqlText(const std::filesystem::path& dataDir, const std::string& query);
