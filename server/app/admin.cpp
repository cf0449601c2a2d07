#include "admin.h"

#include "accounts.h"
#include "clock.h"
#include "conversations.h"
#include "options.h"
#include "refusal.h"
#include "storage.h"

#include <cerrno>
#include <cstdio>
#include <grp.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune
{
namespace
{

// The database of `target`, or null (with a message) when there is none yet. Only `migrate`
// creates one: the others would otherwise leave an empty database behind a mistyped path.
std::unique_ptr<Database> openDatabase(const AdminTarget& target, std::ostream& err,
                                       bool mayCreate = false)
{
    std::string error;
    const auto url = parseDatabaseUrl(databaseUrlText(target.dataDir, target.database), &error);
    if (!url) {
        err << "kestrune-server: --database: " << error << "\n";
        return nullptr;
    }
    if (url->engine == DatabaseUrl::Engine::sqlite) {
        const std::filesystem::path file = url->location;
        if (!mayCreate && !std::filesystem::exists(file)) {
            err << "kestrune-server: no database at " << file
                << " (start the server with --data first)\n";
            return nullptr;
        }
        const auto folder = file.parent_path().empty() ? "." : file.parent_path();
        if (!std::filesystem::exists(folder)) {
            err << "kestrune-server: no folder " << folder << "\n";
            return nullptr;
        }
        if (!takeDataOwnerIdentity(folder, err))
            return nullptr;
    }
    try {
        return std::make_unique<Database>(*url);
    } catch (const DbError& e) {
        err << "kestrune-server: " << e.what() << "\n";
        return nullptr;
    }
}

} // namespace

bool takeDataOwnerIdentity(const std::filesystem::path& dataDir, std::ostream& err)
{
    struct stat info {
    };
    if (geteuid() != 0 || stat(dataDir.c_str(), &info) != 0 || info.st_uid == 0)
        return true;
    if (setgroups(0, nullptr) != 0 && errno != EPERM) {
        err << "kestrune-server: cannot drop supplementary groups\n";
        return false;
    }
    if (setgid(info.st_gid) != 0 || setuid(info.st_uid) != 0) {
        err << "kestrune-server: cannot act as the owner of " << dataDir << "\n";
        return false;
    }
    return true;
}

int adminListUsers(const AdminTarget& target, std::ostream& out, std::ostream& err)
{
    const auto db = openDatabase(target, err);
    if (!db)
        return 1;
    Accounts accounts(*db, 0);
    char line[512];
    std::snprintf(line, sizeof line, "%-16s  %-32s  %-40s  %10s  %s\n", "ID", "USER", "E-MAIL",
                  "POINTS", "CREATED");
    out << line;
    for (const auto& u : accounts.list()) {
        std::snprintf(line, sizeof line, "%-16s  %-32s  %-40s  %10lld  %s\n", u.publicId.c_str(),
                      u.username.c_str(), u.email.c_str(), static_cast<long long>(u.points),
                      isoTime(u.createdMs).c_str());
        out << line;
    }
    return 0;
}

int adminGrant(const AdminTarget& target, const std::string& user, std::int64_t points,
               std::ostream& out, std::ostream& err)
{
    const auto db = openDatabase(target, err);
    if (!db)
        return 1;
    Accounts accounts(*db, 0);
    try {
        const User updated = accounts.grant(user, points);
        out << updated.username << ": " << updated.points << " points\n";
        return 0;
    } catch (const Refusal& refusal) {
        err << "kestrune-server: " << refusal.what() << "\n";
        return 1;
    }
}

int adminPurgeDeleted(const AdminTarget& target, std::ostream& out, std::ostream& err)
{
    const auto db = openDatabase(target, err);
    if (!db)
        return 1;
    const auto lock = db->lock();
    Transaction tx(*db);
    const std::int64_t purged = purgeDeleted(*db);
    tx.commit();
    out << purged << " deleted conversations purged\n";
    return 0;
}

int adminMigrate(const AdminTarget& target, std::ostream& out, std::ostream& err)
{
    const auto db = openDatabase(target, err, true);
    if (!db)
        return 1;
    out << db->engineName() << " schema at version " << db->schemaVersion() << "\n";
    return 0;
}

} // namespace kestrune
