// Three instances on one database behind haproxy, in the configuration the package ships as an
// example: what one account may do is bounded across all of them, an instance that dies costs
// nothing but its replies under way, and one that is stopped finishes its replies first.
#include "database.h"
#include "fixture.h"
#include "loadbalancer.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <thread>

namespace
{

json showcaseTurn()
{
    return {{"prompt", "请回答"},
            {"mode", "private"},
            {"model", "kestrune-showcase"},
            {"history", json::array()}};
}

// The "charged" of the done event in a raw reply stream; -1 without one.
std::int64_t chargedIn(const std::string& raw)
{
    const std::string key = "\"charged\":";
    const auto at = raw.find(key);
    return at == std::string::npos ? -1 : std::stoll(raw.substr(at + key.size()));
}

std::int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Lines of a server's request log that start with `request`, say "POST /api/chat/stream 200".
std::size_t logged(const ServerProcess& server, const std::string& request)
{
    const std::string log = server.stderrText();
    std::size_t count = 0;
    for (auto at = log.find(request); at != std::string::npos; at = log.find(request, at + 1))
        ++count;
    return count;
}

std::size_t repliesLogged(const ServerProcess& server)
{
    return logged(server, "POST /api/chat/stream 200");
}

} // namespace

class BehindHaproxy : public ServerTest
{
protected:
    static constexpr int streamLimit = 4;

    std::vector<std::string> serverArgs() const override
    {
        return {"--stream-delay-ms",
                "20",
                "--max-streams-per-account",
                std::to_string(streamLimit),
                "--reply-lease",
                "3",
                "--trusted-proxy",
                "127.0.0.1/32",
                "--drain-notice",
                "3",
                "--drain",
                "30"};
    }
    void SetUp() override
    {
        ServerTest::SetUp();
        std::vector<std::string> database = databaseArgs(dataDir());
        if (database.empty())
            database = {"--database", "sqlite:" + (dataDir() / "kestrune.db").string()};
        for (const std::string name : {"second", "third"}) {
            std::vector<std::string> args = serverArgs();
            args.insert(args.end(), database.begin(), database.end());
            others.push_back(std::make_unique<ServerProcess>(dir.path() / name, args));
        }
        balancer = std::make_unique<LoadBalancer>(
            dir.path() / "haproxy",
            std::vector<int>{server->port(), others[0]->port(), others[1]->port()});
        through = std::make_unique<TestApi>(balancer->port());
    }

    // Gives the account `points` (recorded in the ledger as a grant).
    void setBalance(const std::string& username, std::int64_t points)
    {
        sql(dataDir(), "INSERT INTO ledger (user_id, delta, reason, created_ms) SELECT id, " +
                           std::to_string(points) +
                           " - points, 'grant', 0 FROM users WHERE "
                           "username = '" +
                           username + "'");
        sql(dataDir(), "UPDATE users SET points = " + std::to_string(points) +
                           " WHERE username = '" + username + "'");
    }

    std::int64_t ledgerSum(const std::string& username)
    {
        return std::stoll(sqlText(dataDir(), "SELECT SUM(delta) FROM ledger l JOIN users u ON "
                                             "u.id = l.user_id WHERE u.username = '" +
                                                 username + "'"));
    }

    std::vector<std::unique_ptr<ServerProcess>> others;
    std::unique_ptr<LoadBalancer> balancer;
    std::unique_ptr<TestApi> through;
};

TEST_F(BehindHaproxy, SixtyRepliesOfOneAccountStayWithinItsSlotsAndBalance)
{
    const Account a = account("crowd");
    setBalance("crowd", 150); // a showcase reply costs about 6: not all sixty can be paid
    TestApi api = *through;
    api.token = a.token;

    std::atomic<int> open{0};
    std::atomic<int> mostOpen{0};
    std::mutex mutex;
    std::int64_t charged = 0;
    std::size_t delivered = 0;
    int done = 0;
    std::vector<std::future<void>> clients;
    for (int i = 0; i < 60; ++i)
        clients.push_back(std::async(std::launch::async, [&] {
            // A client turned away for too many replies tries again a little later.
            for (int attempt = 0; attempt < 400; ++attempt) {
                const StreamResult r = api.stream(
                    showcaseTurn(),
                    [&] {
                        const int now = ++open;
                        int most = mostOpen;
                        while (now > most && !mostOpen.compare_exchange_weak(most, now)) {
                        }
                    },
                    [&] { --open; });
                if (r.status == 429) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                    continue;
                }
                std::lock_guard guard(mutex);
                delivered += codePoints(r.deltaText());
                if (r.last() && r.last()->name == "done") {
                    charged += r.last()->data["charged"].get<std::int64_t>();
                    ++done;
                }
                return;
            }
            ADD_FAILURE() << "never got a reply slot";
        }));
    for (auto& client : clients)
        client.get();

    EXPECT_LE(mostOpen.load(), streamLimit);
    EXPECT_GE(done, 10);
    EXPECT_LT(done, 60);
    EXPECT_LE(delivered, static_cast<std::size_t>(charged) * 100);
    api.token = a.token;
    const auto balance = api.get("/api/me").body["user"]["points"].get<std::int64_t>();
    EXPECT_GE(balance, 0);
    EXPECT_EQ(charged + balance, 150);
    EXPECT_EQ(ledgerSum("crowd"), balance);
    // The balancer spread them: every instance streamed some.
    EXPECT_GT(repliesLogged(*server), 0u);
    EXPECT_GT(repliesLogged(*others[0]), 0u);
    EXPECT_GT(repliesLogged(*others[1]), 0u);
}

TEST_F(BehindHaproxy, FailedSignInsSpreadOverTheInstancesCountTogether)
{
    const Account a = account("watched");
    const json wrong{{"login", "watched"}, {"password", "not the password"}};
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(isErrorReply(through->post("/api/auth/login", wrong), 401));
    int instancesThatRefused = 0;
    for (const ServerProcess* instance : {server.get(), others[0].get(), others[1].get()})
        instancesThatRefused += logged(*instance, "POST /api/auth/login 401") > 0;
    EXPECT_GE(instancesThatRefused, 2);

    // Each instance, reached directly from the same address, holds the account back.
    const json right{{"login", "watched"}, {"password", a.password}};
    for (const int port : {server->port(), others[0]->port(), others[1]->port()}) {
        const Reply held = TestApi(port).post("/api/auth/login", right);
        EXPECT_TRUE(isErrorReply(held, 429)) << held.raw;
    }
    EXPECT_TRUE(isErrorReply(through->post("/api/auth/login", right), 429));
}

TEST_F(BehindHaproxy, AKilledInstanceCostsOnlyItsRepliesUnderWay)
{
    const Account a = account("survivor");
    TestApi api = *through;
    api.token = a.token;
    const auto before = api.get("/api/me").body["user"]["points"].get<std::int64_t>();

    // Replies on every instance, slow enough to be under way when one dies.
    std::vector<std::unique_ptr<RawConnection>> replies;
    for (int i = 0; i < 3; ++i) {
        replies.push_back(std::make_unique<RawConnection>(i == 0   ? server->port()
                                                          : i == 1 ? others[0]->port()
                                                                   : others[1]->port()));
        ASSERT_NE(startRawStream(*replies.back(), a.token).find("event: delta"), std::string::npos);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    others[0]->kill();

    // The others go on: requests through the balancer keep being answered.
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(api.get("/api/me").status, 200);
    std::int64_t charged = 0;
    for (const std::size_t i : {0u, 2u}) {
        const std::string rest = replies[i]->receive("event: done");
        ASSERT_NE(rest.find("event: done"), std::string::npos) << rest;
        charged += chargedIn(rest);
    }
    // The dead instance's hold is free within the lease: every slot can be taken again.
    bool holdsFree = false;
    for (int round = 0; round < 100 && !holdsFree; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        holdsFree = sqlText(dataDir(), "SELECT COUNT(*) FROM reply_holds WHERE expires_ms > " +
                                           std::to_string(nowMs())) == "0\n";
    }
    EXPECT_TRUE(holdsFree);
    std::vector<std::future<StreamResult>> parallel;
    for (int i = 0; i < streamLimit; ++i)
        parallel.push_back(
            std::async(std::launch::async, [&] { return api.stream(showcaseTurn()); }));
    for (auto& p : parallel) {
        const StreamResult r = p.get();
        ASSERT_TRUE(r.last()) << r.status << " " << r.raw;
        EXPECT_EQ(r.last()->name, "done");
        charged += r.last()->data["charged"].get<std::int64_t>();
    }
    // No point lost or made: the cut reply cost nothing, the finished ones what they say.
    const auto after = api.get("/api/me").body["user"]["points"].get<std::int64_t>();
    EXPECT_EQ(before - after, charged);
    EXPECT_EQ(ledgerSum("survivor"), after);
}

TEST_F(BehindHaproxy, AStoppedInstanceFinishesItsRepliesWhileOthersServe)
{
    const Account a = account("unhurried");
    TestApi api = *through;
    api.token = a.token;
    std::vector<std::unique_ptr<RawConnection>> replies;
    for (int i = 0; i < 2; ++i) {
        replies.push_back(std::make_unique<RawConnection>(others[1]->port()));
        ASSERT_NE(startRawStream(*replies.back(), a.token).find("event: delta"), std::string::npos);
    }
    others[1]->terminate();
    // Throughout the drain, the balancer answers every request: first from all three, then,
    // once the stopping instance's /readyz has said 503 twice, from the two others.
    for (int i = 0; i < 60; ++i) {
        const Reply me = api.get("/api/me");
        EXPECT_EQ(me.status, 200) << me.raw;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (auto& reply : replies) {
        const std::string rest = reply->receive("event: done", 20000);
        EXPECT_NE(rest.find("event: done"), std::string::npos) << rest;
    }
    EXPECT_EQ(others[1]->waitForExit(), 0);
    EXPECT_EQ(api.get("/api/me").status, 200);
}
