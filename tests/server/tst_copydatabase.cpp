// Moving an installation: copy-database carries everything a user sees into an empty database
// (PostgreSQL in the PostgreSQL run), which then answers every request as the source did.
#include "database.h"
#include "fixture.h"

#include <map>

namespace
{

// Every GET an account can make, by path.
std::map<std::string, std::string> everythingSeenBy(const TestApi& api)
{
    std::map<std::string, std::string> seen;
    for (const std::string path : {"/api/me", "/api/conversations"})
        seen[path] = api.get(path).raw;
    const Reply list = api.get("/api/conversations");
    for (const auto& c : list.body["conversations"]) {
        const std::string path = "/api/conversations/" + c["id"].get<std::string>();
        seen[path] = api.get(path).raw;
    }
    return seen;
}

TestApi on(const ServerProcess& server, const std::string& token)
{
    TestApi api(server.port());
    api.token = token;
    return api;
}

} // namespace

TEST(CopyDatabase, TheCopyAnswersEveryRequestAsTheSourceDid)
{
    TempDir dir;
    const auto sourceDir = dir.path() / "source";
    const std::string sourceUrl = "sqlite:" + (sourceDir / "kestrune.db").string();
    std::vector<std::string> tokens;
    std::vector<std::map<std::string, std::string>> before;
    {
        ServerProcess source(sourceDir, {"--database", sourceUrl});
        const TestApi anonymous(source.port());
        for (const std::string name : {"mover", "stayer"}) {
            const Account a = createAccount(anonymous, sourceDir / "outbox", name);
            const TestApi api = on(source, a.token);
            const std::string kept = newConversation(api);
            api.stream({{"prompt", "第一轮 " + name}, {"conversation_id", kept}});
            api.stream({{"prompt", "第二轮"}, {"conversation_id", kept}});
            api.patch("/api/conversations/" + kept, {{"title", "改过的标题"}});
            const std::string gone = newConversation(api, "kestrune-showcase");
            api.stream({{"prompt", "要删掉的"}, {"conversation_id", gone}});
            api.del("/api/conversations/" + gone);
            newConversation(api); // empty
            api.stream({{"prompt", "私密"},
                        {"mode", "private"},
                        {"model", "kestrune-echo"},
                        {"history", json::array()}});
            tokens.push_back(a.token);
            before.push_back(everythingSeenBy(api));
        }
        ASSERT_EQ(source.stop(), 0);
    }

    const auto targetDir = dir.path() / "target";
    std::filesystem::create_directories(targetDir);
    const std::vector<std::string> targetDatabase = databaseArgs(targetDir);
    const std::string targetUrl = targetDatabase.empty()
                                      ? "sqlite:" + (targetDir / "kestrune.db").string()
                                      : targetDatabase[1];
    const CommandResult copied = runServerCommand({"copy-database", "--data", sourceDir.string(),
                                                   "--database", sourceUrl, "--to", targetUrl});
    ASSERT_EQ(copied.exitCode, 0) << copied.out;
    EXPECT_NE(copied.out.find("users: 2\n"), std::string::npos) << copied.out;
    EXPECT_NE(copied.out.find("balances: 2 accounts agree"), std::string::npos) << copied.out;

    // Once is enough: a database with data in it is never copied into.
    const CommandResult again = runServerCommand({"copy-database", "--data", sourceDir.string(),
                                                  "--database", sourceUrl, "--to", targetUrl});
    EXPECT_NE(again.exitCode, 0);
    EXPECT_NE(again.out.find("not empty"), std::string::npos) << again.out;

    {
        ServerProcess target(targetDir, {"--database", targetUrl});
        for (std::size_t i = 0; i < tokens.size(); ++i)
            EXPECT_EQ(everythingSeenBy(on(target, tokens[i])), before[i]);
        // New rows get ids of their own after the copied ones.
        const TestApi api = on(target, tokens[0]);
        const std::string id = newConversation(api);
        const StreamResult reply = api.stream({{"prompt", "搬家之后"}, {"conversation_id", id}});
        ASSERT_TRUE(reply.last());
        EXPECT_EQ(reply.last()->name, "done") << reply.raw;
        EXPECT_EQ(createAccount(TestApi(target.port()), targetDir / "outbox", "newcomer")
                      .user["username"],
                  "newcomer");
    }
    // The source was only read.
    ServerProcess source(sourceDir, {"--database", sourceUrl});
    for (std::size_t i = 0; i < tokens.size(); ++i)
        EXPECT_EQ(everythingSeenBy(on(source, tokens[i])), before[i]);
}
