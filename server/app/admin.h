#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>

namespace kestrune
{

// Operator commands working directly on the data folder; safe while the server runs (SQLite
// in WAL mode with a busy timeout). Each returns the process exit code.
//
// Run as root on a folder that belongs to another user (the packaged service's), they first
// take that user's identity, so that every file they create there stays the service's.

// Takes the identity of the owner of `dataDir` when running as root and the folder is not
// root's; false (with a message) when that fails.
bool takeDataOwnerIdentity(const std::filesystem::path& dataDir, std::ostream& err);

int adminListUsers(const std::filesystem::path& dataDir, std::ostream& out, std::ostream& err);
int adminGrant(const std::filesystem::path& dataDir, const std::string& user, std::int64_t points,
               std::ostream& out, std::ostream& err);
int adminPurgeDeleted(const std::filesystem::path& dataDir, std::ostream& out, std::ostream& err);

} // namespace kestrune
