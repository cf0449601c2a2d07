#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>

namespace kestrune
{

// Operator commands working directly on the data folder; safe while the server runs (SQLite
// in WAL mode with a busy timeout). Each returns the process exit code.
int adminListUsers(const std::filesystem::path& dataDir, std::ostream& out, std::ostream& err);
int adminGrant(const std::filesystem::path& dataDir, const std::string& user, std::int64_t points,
               std::ostream& out, std::ostream& err);
int adminPurgeDeleted(const std::filesystem::path& dataDir, std::ostream& out, std::ostream& err);

} // namespace kestrune
