// Points cannot be overspent: parallel replies of one account draw on one balance, and what
// they deliver never exceeds what is paid; a reply over the account's stream limit is refused.
#include "fixture.h"

#include <future>
#include <thread>

namespace
{

// Starts `count` replies of one account at once and checks every one against the balance.
void checkParallelReplies(const TestApi& userApi, const std::string& model, int pointsPer100,
                          int count, std::int64_t balanceBefore)
{
    std::vector<std::future<StreamResult>> streams;
    for (int i = 0; i < count; ++i) {
        streams.push_back(std::async(std::launch::async, [userApi, model, i] {
            return userApi.stream({{"prompt", "并发 " + std::to_string(i)},
                                   {"mode", "private"},
                                   {"model", model},
                                   {"history", json::array()}});
        }));
    }
    std::int64_t paidForDelivered = 0;
    std::int64_t charged = 0;
    int done = 0;
    for (auto& future : streams) {
        const StreamResult s = future.get();
        const std::string delivered = s.deltaText();
        paidForDelivered += expectedCharge(delivered, pointsPer100);
        if (s.last() && s.last()->name == "done") {
            ++done;
            EXPECT_EQ(s.last()->data["content"], delivered); // what was sent is what is paid
            EXPECT_EQ(s.last()->data["charged"], expectedCharge(delivered, pointsPer100));
            charged += s.last()->data["charged"].get<std::int64_t>();
        } else {
            EXPECT_EQ(delivered, "") << s.raw; // refused or failed: nothing went out unpaid
        }
    }
    const auto balance = userApi.get("/api/me").body["user"]["points"].get<std::int64_t>();
    EXPECT_GE(balance, 0);
    EXPECT_EQ(balanceBefore - balance, charged);
    EXPECT_LE(paidForDelivered, balanceBefore);
    EXPECT_GE(done, 1);
}

} // namespace

class PointsUnderLoad : public ServerTest
{
protected:
    std::vector<std::string> serverArgs() const override
    {
        return {"--initial-points",
                "30",
                "--stream-delay-ms",
                "2",
                "--max-streams-per-account",
                "1000",
                "--max-connections-per-address",
                "1000"};
    }
};

TEST_F(PointsUnderLoad, TenParallelRepliesShareOneBalance)
{
    // A showcase reply is about 600 characters at 1 point per 100: 30 points pay for about
    // five of them, not ten.
    checkParallelReplies(as(account("tessa")), "kestrune-showcase", 1, 10, 30);
}

TEST_F(PointsUnderLoad, AHundredParallelRepliesShareOneBalance)
{
    checkParallelReplies(as(account("hundred")), "kestrune-showcase", 1, 100, 30);
}

class FewStreams : public ServerTest
{
protected:
    std::vector<std::string> serverArgs() const override
    {
        return {"--stream-delay-ms", "30", "--max-streams-per-account", "2"};
    }
};

TEST_F(FewStreams, AnAccountOverItsStreamLimitIsRefused)
{
    const TestApi busy = as(account("busy"));
    const TestApi other = as(account("other"));
    const json privateBody{{"prompt", "慢一点"},
                           {"mode", "private"},
                           {"model", "kestrune-showcase"},
                           {"history", json::array()}};
    auto first = std::async(std::launch::async, [&] { return busy.stream(privateBody); });
    auto second = std::async(std::launch::async, [&] { return busy.stream(privateBody); });
    // Both are under way once their first fragments have been produced.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const StreamResult third = busy.stream(privateBody);
    EXPECT_EQ(third.status, 429) << third.raw;
    const json error = json::parse(third.raw, nullptr, false);
    ASSERT_TRUE(error.is_object());
    EXPECT_EQ(error["error"], "同时进行的回复过多，请等当前的回复结束后再试。");
    // Another account is not held up by it.
    EXPECT_EQ(other.stream(privateBody).last()->name, "done");
    EXPECT_EQ(first.get().last()->name, "done");
    EXPECT_EQ(second.get().last()->name, "done");
    // Slots come back when replies end.
    EXPECT_EQ(busy.stream(privateBody).last()->name, "done");
}
