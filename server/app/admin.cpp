#include "admin.h"

#include "accounts.h"
#include "clock.h"
#include "conversations.h"
#include "refusal.h"
#include "storage.h"

#include <cerrno>
#include <cstdio>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune
{
namespace
{

bool hasDatabase(const std::filesystem::path& dataDir, std::ostream& err)
{
    if (std::filesystem::exists(dataDir / "kestrune.db"))
        return takeDataOwnerIdentity(dataDir, err);
    err << "kestrune-server: no data in " << dataDir << " (start the server with --data first)\n";
    return false;
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

int adminListUsers(const std::filesystem::path& dataDir, std::ostream& out, std::ostream& err)
{
    if (!hasDatabase(dataDir, err))
        return 1;
    Database db(dataDir / "kestrune.db");
    Accounts accounts(db, 0);
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

int adminGrant(const std::filesystem::path& dataDir, const std::string& user, std::int64_t points,
               std::ostream& out, std::ostream& err)
{
    if (!hasDatabase(dataDir, err))
        return 1;
    Database db(dataDir / "kestrune.db");
    Accounts accounts(db, 0);
    try {
        const User updated = accounts.grant(user, points);
        out << updated.username << ": " << updated.points << " points\n";
        return 0;
    } catch (const Refusal& refusal) {
        err << "kestrune-server: " << refusal.what() << "\n";
        return 1;
    }
}

int adminPurgeDeleted(const std::filesystem::path& dataDir, std::ostream& out, std::ostream& err)
{
    if (!hasDatabase(dataDir, err))
        return 1;
    Database db(dataDir / "kestrune.db");
    Transaction tx(db);
    const std::int64_t purged = purgeDeleted(db);
    tx.commit();
    out << purged << " deleted conversations purged\n";
    return 0;
}

} // namespace kestrune
