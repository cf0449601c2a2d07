#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>

namespace kestrune
{

// Operator commands working directly on the database; safe while the server runs (each change
// is one writing transaction). Each returns the process exit code.
//
// Run as root on a folder that belongs to another user (the packaged service's), they first
// take that user's identity, so that every file they create there stays the service's.

// Takes the identity of the owner of `dataDir` when running as root and the folder is not
// root's; false (with a message) when that fails.
bool takeDataOwnerIdentity(const std::filesystem::path& dataDir, std::ostream& err);

// Which database a command works on: --database if given, else the file in --data.
struct AdminTarget {
    std::filesystem::path dataDir;
    std::string database;
};

int adminListUsers(const AdminTarget& target, std::ostream& out, std::ostream& err);
int adminGrant(const AdminTarget& target, const std::string& user, std::int64_t points,
               std::ostream& out, std::ostream& err);
int adminPurgeDeleted(const AdminTarget& target, std::ostream& out, std::ostream& err);
// Brings the schema up to this version; a newer schema is refused.
int adminMigrate(const AdminTarget& target, std::ostream& out, std::ostream& err);

} // namespace kestrune
