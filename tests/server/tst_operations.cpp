#include "database.h"
#include "fixture.h"

#include "admin.h"

#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

using Operations = ServerTest;

TEST_F(Operations, CommittedDataSurvivesAKill)
{
    const Account a = account("zoe");
    api->token = a.token;
    const std::string id = newConversation(*api);
    const StreamResult s = api->stream({{"prompt", "记住我"}, {"conversation_id", id}});
    ASSERT_EQ(s.last()->name, "done");
    const Reply before = api->get("/api/conversations/" + id);

    server->kill();
    start();
    api->token = a.token; // tokens persist across restarts

    EXPECT_EQ(api->get("/api/me").body["user"]["points"], s.last()->data["points"]);
    EXPECT_EQ(api->get("/api/conversations/" + id).body, before.body);
    EXPECT_EQ(api->post("/api/auth/login", {{"login", "zoe"}, {"password", a.password}}).status,
              200);

    // The schema is versioned and the journal is in WAL mode.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dataDir() / "kestrune.db").c_str(), &db), SQLITE_OK);
    auto single = [&](const char* q) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, q, -1, &st, nullptr);
        sqlite3_step(st);
        std::string v = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
        return v;
    };
    EXPECT_EQ(single("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(single("PRAGMA user_version"), "4");
    sqlite3_close(db);

    EXPECT_EQ(server->stop(), 0); // SIGTERM ends it cleanly
}

TEST_F(Operations, AdminCommandsListAndGrant)
{
    const Account a = account("admin_target");
    api->token = a.token;
    const std::string data = dataDir().string();

    const CommandResult users = runServerCommand({"users", "--data", data});
    EXPECT_EQ(users.exitCode, 0);
    EXPECT_NE(users.out.find("admin_target"), std::string::npos) << users.out;
    EXPECT_NE(users.out.find("admin_target@example.org"), std::string::npos);

    // Works while the server runs; the server sees the new balance at once.
    EXPECT_EQ(runServerCommand({"grant", "--data", data, "admin_target", "250"}).exitCode, 0);
    EXPECT_EQ(api->get("/api/me").body["user"]["points"], 1250);
    EXPECT_EQ(
        runServerCommand({"grant", "--data", data, "admin_target@example.org", "-1250"}).exitCode,
        0);
    EXPECT_EQ(api->get("/api/me").body["user"]["points"], 0);
    EXPECT_NE(runServerCommand({"grant", "--data", data, "admin_target", "-1"}).exitCode, 0);
    EXPECT_NE(runServerCommand({"grant", "--data", data, "nobody", "5"}).exitCode, 0);
    EXPECT_EQ(api->get("/api/me").body["user"]["points"], 0);
    // Amounts near the end of 64 bits are refused, not wrapped around; so is a balance past
    // the largest there may be.
    const CommandResult huge =
        runServerCommand({"grant", "--data", data, "admin_target", "9223372036854775000"});
    EXPECT_NE(huge.exitCode, 0);
    EXPECT_NE(huge.out.find("points must be between -1000000000000000 and 1000000000000000"),
              std::string::npos)
        << huge.out;
    EXPECT_NE(runServerCommand({"grant", "--data", data, "admin_target", "-9223372036854775000"})
                  .exitCode,
              0);
    EXPECT_EQ(
        runServerCommand({"grant", "--data", data, "admin_target", "1000000000000000"}).exitCode,
        0);
    EXPECT_NE(runServerCommand({"grant", "--data", data, "admin_target", "1"}).exitCode, 0);
    EXPECT_EQ(api->get("/api/me").body["user"]["points"], 1000000000000000);
    EXPECT_EQ(
        runServerCommand({"grant", "--data", data, "admin_target", "-1000000000000000"}).exitCode,
        0);

    // Deleted conversations are kept until the operator purges them.
    const std::string id = newConversation(*api);
    api->del("/api/conversations/" + id);
    const CommandResult purge = runServerCommand({"purge-deleted", "--data", data});
    EXPECT_EQ(purge.exitCode, 0);
    EXPECT_NE(purge.out.find("1 deleted"), std::string::npos) << purge.out;
}

TEST_F(Operations, ADataFolderOfTheFirstVersionIsCarriedOver)
{
    const std::string token = account("veteran").token;
    api->token = token;
    const std::string id = newConversation(*api);
    ASSERT_EQ(api->stream({{"prompt", "旧的对话"}, {"conversation_id", id}}).last()->name, "done");
    const Reply before = api->get("/api/conversations/" + id);
    const json points = api->get("/api/me").body["user"]["points"];
    server->stop();
    // The database as the first version of the service left it.
    sql(dataDir(), "DROP TABLE message_search; DROP TRIGGER messages_search_insert; "
                   "DROP TRIGGER messages_search_delete; DROP TRIGGER messages_search_update; "
                   "DROP TABLE reply_holds; DROP TABLE login_failures; DROP TABLE login_known; "
                   "DROP TABLE signup_attempts; DROP TABLE code_failures; "
                   "DROP INDEX conversations_deleted; "
                   "ALTER TABLE messages DROP COLUMN truncated; "
                   "ALTER TABLE conversations DROP COLUMN stored_bytes; "
                   "ALTER TABLE users DROP COLUMN stored_bytes; PRAGMA user_version = 1;");

    start();
    api->token = token;
    EXPECT_EQ(api->get("/api/conversations/" + id).body, before.body);
    EXPECT_EQ(api->get("/api/me").body["user"]["points"], points);
    // What the account stores is counted from what it has.
    std::size_t bytes = 0;
    for (const auto& m : before.body["messages"])
        bytes += m["content"].get<std::string>().size();
    EXPECT_EQ(sqlText(dataDir(), "SELECT stored_bytes FROM users WHERE username = 'veteran'"),
              std::to_string(bytes) + "\n");
    EXPECT_EQ(sqlText(dataDir(), "PRAGMA user_version"), "4\n");
    // The turns that were there are in the text index ("旧的对", three characters).
    const Reply found = api->get("/api/search?q=%E6%97%A7%E7%9A%84%E5%AF%B9");
    ASSERT_EQ(found.status, 200) << found.raw;
    EXPECT_EQ(found.body["results"].size(), 2u);
}

TEST_F(Operations, ANewerSchemaIsRefusedAndMigrateBringsAnOlderOneUp)
{
    const std::string token = account("keeper").token;
    server->stop();
    const std::string setVersion =
        onPostgres() ? "UPDATE schema_version SET version = " : "PRAGMA user_version = ";
    const std::string data = dataDir().string();

    // Written by a later release: neither the server nor an admin command touches it.
    sql(dataDir(), setVersion + "99");
    try {
        ServerProcess refused(dataDir());
        ADD_FAILURE() << "the server started on a schema it does not know";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("newer kestrune-server (schema 99"), std::string::npos)
            << e.what();
    }
    const CommandResult newer = runServerCommand({"migrate", "--data", data});
    EXPECT_NE(newer.exitCode, 0);
    EXPECT_NE(newer.out.find("newer kestrune-server"), std::string::npos) << newer.out;
    EXPECT_NE(runServerCommand({"users", "--data", data}).exitCode, 0);

    // An older one is brought up by `migrate`, and the accounts are still there.
    sql(dataDir(), setVersion + "2");
    sql(dataDir(), "DROP TABLE reply_holds; DROP TABLE login_failures; DROP TABLE login_known; "
                   "DROP TABLE signup_attempts");
    sql(dataDir(), onPostgres() ? "DROP INDEX messages_plain_trgm"
                                : "DROP TABLE message_search; DROP TRIGGER messages_search_insert; "
                                  "DROP TRIGGER messages_search_delete; "
                                  "DROP TRIGGER messages_search_update");
    const CommandResult migrated = runServerCommand({"migrate", "--data", data});
    EXPECT_EQ(migrated.exitCode, 0) << migrated.out;
    EXPECT_NE(migrated.out.find(std::string(onPostgres() ? "postgresql" : "sqlite") +
                                " schema at version 4"),
              std::string::npos)
        << migrated.out;
    start();
    api->token = token;
    EXPECT_EQ(api->get("/api/me").status, 200);
    const StreamResult reply =
        api->stream({{"prompt", "还在吗"}, {"conversation_id", newConversation(*api)}});
    ASSERT_TRUE(reply.last());
    EXPECT_EQ(reply.last()->name, "done");
}

TEST(ServerCommandLine, HelpNamesEveryFlagAndCommand)
{
    const CommandResult help = runServerCommand({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* name : {"--listen",
                             "--data",
                             "--database",
                             "--outbox",
                             "--initial-points",
                             "--stream-delay-ms",
                             "--demo",
                             "--upstream",
                             "--upstream-key",
                             "--smtp",
                             "--smtp-user",
                             "--smtp-password-file",
                             "--smtp-ca",
                             "--mail-from",
                             "--metrics-listen",
                             "--cert",
                             "--key",
                             "--max-connections",
                             "--max-connections-per-address",
                             "--idle-timeout",
                             "--trusted-proxy",
                             "--max-streams-per-account",
                             "--reply-lease",
                             "--signups-per-hour",
                             "--max-conversations-per-account",
                             "--max-storage-per-account",
                             "--version",
                             "users",
                             "grant",
                             "purge-deleted",
                             "migrate",
                             "copy-database"})
        EXPECT_NE(help.out.find(name), std::string::npos) << name;
    // The project's version, as the packages and the Windows installer carry it.
    const CommandResult version = runServerCommand({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, std::string("kestrune-server ") + KESTRUNE_PROJECT_VERSION + "\n");
    EXPECT_NE(runServerCommand({"--listen", "nonsense"}).exitCode, 0);
    EXPECT_NE(runServerCommand({"--trusted-proxy", "10.0.0.0/40"}).exitCode, 0);
    EXPECT_NE(runServerCommand({"--no-such-flag"}).exitCode, 0);
    const CommandResult database = runServerCommand({"--database", "mysql://db/kestrune"});
    EXPECT_EQ(database.exitCode, 2);
    EXPECT_NE(database.out.find("not sqlite:PATH nor a postgresql:// URI"), std::string::npos)
        << database.out;
    EXPECT_NE(runServerCommand({"--database", "sqlite:"}).exitCode, 0);
}

TEST(ServerCommandLine, StopsOnceTheWatchedFileIsGone)
{
    // A starter that cannot send signals (a Windows test program under Wine) removes a file.
    TempDir dir;
    const auto lease = dir.path() / "lease";
    std::ofstream(lease) << "running";
    ServerProcess server(dir.path() / "data", {"--stop-when-missing", lease.string()});
    ASSERT_GT(server.port(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(server.waitForExit(), -1) << "stopped while the file was there";
    std::filesystem::remove(lease);
    EXPECT_EQ(server.waitForExit(), 0);
}

TEST(ServerCommandLine, AdminCommandsAsRootTakeTheDataOwnersIdentity)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, as CI and the packaged service's operator have";
    TempDir dir;
    const auto data = dir.path() / "data";
    std::filesystem::create_directories(data);
    ASSERT_EQ(chown(data.c_str(), 4242, 4343), 0);
    // In a child: the identity change is for good.
    const pid_t child = fork();
    if (child == 0) {
        std::ostringstream err;
        const bool taken = kestrune::takeDataOwnerIdentity(data, err);
        _exit(taken && geteuid() == 4242 && getegid() == 4343 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // Root's own folder: nothing to take.
    std::ostringstream err;
    EXPECT_TRUE(kestrune::takeDataOwnerIdentity(dir.path(), err));
    EXPECT_EQ(geteuid(), 0u);
}

class DemoServer : public ServerTest
{
protected:
    std::vector<std::string> serverArgs() const override
    {
        return {"--demo", "--outbox", (dir.path() / "mail").string()};
    }
};

TEST_F(DemoServer, DemoAccountIsReadyAndCreatedOnce)
{
    EXPECT_EQ(server->firstLine(),
              "kestrune-server listening on http://127.0.0.1:" + std::to_string(server->port()));
    const Reply login =
        api->post("/api/auth/login", {{"login", "demo"}, {"password", "demo-password-2026"}});
    ASSERT_EQ(login.status, 200);
    EXPECT_EQ(login.body["user"]["username"], "demo");
    EXPECT_TRUE(server->waitForStdout("demo-password-2026"));

    server->stop();
    start();
    const CommandResult users = runServerCommand({"users", "--data", dataDir().string()});
    std::size_t count = 0;
    for (auto pos = users.out.find("demo@kestrune.local"); pos != std::string::npos;
         pos = users.out.find("demo@kestrune.local", pos + 1))
        ++count;
    EXPECT_EQ(count, 1u);

    // --outbox takes the mail elsewhere.
    EXPECT_EQ(api->post("/api/auth/register", {{"username", "mailer"},
                                               {"email", "m@example.org"},
                                               {"password", "long password!"}})
                  .status,
              200);
    EXPECT_FALSE(std::filesystem::is_empty(dir.path() / "mail"));
}
