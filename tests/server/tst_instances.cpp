// Two instances of the service on one database, as behind a load balancer: what they must agree
// on (reply slots, points held by running replies) lives in the database, and the holds of an
// instance that died are free again once their lease runs out.
#include "database.h"
#include "fixture.h"

#include <chrono>
#include <future>
#include <thread>

namespace
{

// Starts a private showcase reply on `port` on a connection kept in `connections`; what arrived
// until its first fragment, or the whole refusal.
std::string tryReply(int port, const std::string& token,
                     std::vector<std::unique_ptr<RawConnection>>& connections)
{
    connections.push_back(std::make_unique<RawConnection>(port));
    RawConnection& connection = *connections.back();
    const std::string body = json{
        {"prompt", "请慢慢回答"},
        {"mode", "private"},
        {"model", "kestrune-showcase"},
        {"history",
         json::array()}}.dump();
    connection.send("POST /api/chat/stream HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + token +
                    "\r\nContent-Type: application/json\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\n\r\n" + body);
    std::string received = connection.receive("\r\n\r\n");
    const std::string needle = received.starts_with("HTTP/1.1 200") ? "event: delta" : "}";
    if (received.find(needle) == std::string::npos)
        received += connection.receive(needle);
    return received;
}

bool underWay(const std::string& head)
{
    return head.find("event: delta") != std::string::npos;
}

bool refusedAsTooMany(const std::string& head)
{
    return head.starts_with("HTTP/1.1 429") && head.find("同时进行的回复过多") != std::string::npos;
}

} // namespace

class TwoInstances : public ServerTest
{
protected:
    std::vector<std::string> serverArgs() const override
    {
        return {"--stream-delay-ms", "100", "--max-streams-per-account", "2", "--reply-lease", "3"};
    }
    // The second instance has a data folder of its own and the first one's database.
    void SetUp() override
    {
        ServerTest::SetUp();
        std::vector<std::string> args = serverArgs();
        std::vector<std::string> database = databaseArgs(dataDir());
        if (database.empty())
            database = {"--database", "sqlite:" + (dataDir() / "kestrune.db").string()};
        args.insert(args.end(), database.begin(), database.end());
        second = std::make_unique<ServerProcess>(dir.path() / "second", args);
    }

    std::unique_ptr<ServerProcess> second;
    std::vector<std::unique_ptr<RawConnection>> connections;
};

TEST_F(TwoInstances, ReplySlotsAreCountedAcrossInstances)
{
    const Account a = account("spread");
    const Account b = account("bystander");
    ASSERT_TRUE(underWay(tryReply(server->port(), a.token, connections)));
    ASSERT_TRUE(underWay(tryReply(second->port(), a.token, connections)));
    // One on each: the account's two slots are taken on both.
    for (const int port : {server->port(), second->port()}) {
        const std::string refused = tryReply(port, a.token, connections);
        EXPECT_TRUE(refusedAsTooMany(refused)) << refused;
    }
    // Another account is not held up.
    EXPECT_TRUE(underWay(tryReply(second->port(), b.token, connections)));

    // Hanging up ends a reply, and its slot is free on the other instance too.
    connections.front().reset();
    bool freed = false;
    for (int i = 0; i < 100 && !freed; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        freed = underWay(tryReply(second->port(), a.token, connections));
    }
    EXPECT_TRUE(freed);
}

TEST_F(TwoInstances, ParallelRepliesOnBothInstancesNeverOverspend)
{
    // The balance only pays for a few showcase replies; twelve at once, half on each instance.
    sql(dataDir(), "UPDATE users SET points = 0");
    const Account a = account("thrifty");
    sql(dataDir(), "UPDATE users SET points = 20 WHERE username = 'thrifty'");
    sql(dataDir(), "INSERT INTO ledger (user_id, delta, reason, created_ms) SELECT id, "
                   "20 - 1000, 'grant', 0 FROM users WHERE username = 'thrifty'");
    std::vector<std::future<StreamResult>> replies;
    for (int i = 0; i < 12; ++i) {
        TestApi instance(i % 2 ? second->port() : server->port());
        instance.token = a.token;
        replies.push_back(std::async(std::launch::async, [instance] {
            return instance.stream({{"prompt", "并发"},
                                    {"mode", "private"},
                                    {"model", "kestrune-showcase"},
                                    {"history", json::array()}});
        }));
    }
    std::int64_t charged = 0;
    std::size_t delivered = 0;
    for (auto& reply : replies) {
        const StreamResult r = reply.get();
        if (r.last() && r.last()->name == "done") {
            const std::string content = r.last()->data["content"];
            EXPECT_EQ(r.last()->data["charged"], expectedCharge(content, 1));
            charged += r.last()->data["charged"].get<std::int64_t>();
        }
        // Whatever the outcome, no text went out beyond what was paid for.
        delivered += codePoints(r.deltaText());
    }
    api->token = a.token;
    const auto balance = api->get("/api/me").body["user"]["points"].get<std::int64_t>();
    EXPECT_GE(balance, 0);
    EXPECT_EQ(charged + balance, 20);
    EXPECT_LE(delivered, static_cast<std::size_t>(charged) * 100);
    // The ledger accounts for every point.
    EXPECT_EQ(sqlText(dataDir(), "SELECT SUM(delta) FROM ledger l JOIN users u ON u.id = "
                                 "l.user_id WHERE u.username = 'thrifty'"),
              std::to_string(balance) + "\n");
    // The holds go once the replies have ended.
    for (int i = 0; i < 100 && sqlText(dataDir(), "SELECT COUNT(*) FROM reply_holds") != "0\n"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(sqlText(dataDir(), "SELECT COUNT(*) FROM reply_holds"), "0\n");
}

TEST_F(TwoInstances, HoldsOfAKilledInstanceAreFreeWithinTheLease)
{
    const Account a = account("orphan");
    api->token = a.token;
    const json points = api->get("/api/me").body["user"]["points"];
    ASSERT_TRUE(underWay(tryReply(second->port(), a.token, connections)));
    ASSERT_TRUE(underWay(tryReply(second->port(), a.token, connections)));
    second->kill();

    // The dead instance's holds still count until their lease (3 s here) runs out...
    EXPECT_TRUE(refusedAsTooMany(tryReply(server->port(), a.token, connections)));
    // ...and then no longer.
    bool freed = false;
    for (int i = 0; i < 100 && !freed; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        freed = underWay(tryReply(server->port(), a.token, connections));
    }
    ASSERT_TRUE(freed);
    // The replies cut by the kill cost nothing.
    EXPECT_EQ(api->get("/api/me").body["user"]["points"], points);

    // A reply running longer than the lease keeps its hold: the living instance renews it.
    ASSERT_TRUE(underWay(tryReply(server->port(), a.token, connections)));
    std::this_thread::sleep_for(std::chrono::seconds(4));
    EXPECT_TRUE(refusedAsTooMany(tryReply(server->port(), a.token, connections)));
}

TEST_F(TwoInstances, FailedSignInsOnBothInstancesCountTogether)
{
    const Account a = account("guarded");
    TestApi first(server->port());
    TestApi other(second->port());
    const json wrong{{"login", "guarded"}, {"password", "not the password"}};
    // Five failures from one address, spread over the instances, hold it back on both.
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(isErrorReply((i % 2 ? other : first).post("/api/auth/login", wrong), 401));
    const json right{{"login", "guarded"}, {"password", a.password}};
    for (const TestApi* instance : {&first, &other}) {
        const Reply held = instance->post("/api/auth/login", right);
        EXPECT_TRUE(isErrorReply(held, 429));
        EXPECT_EQ(held.body["error"], "登录失败次数过多，请 15 分钟后再试。");
    }
}
