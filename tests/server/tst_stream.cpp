#include "database.h"
#include "fixture.h"

#include <httplib.h>

#include <atomic>
#include <future>
#include <thread>

namespace
{

// The prompt as the service stores it: without the white space around it.
std::string trimmedPrompt(std::string text)
{
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

} // namespace

using Stream = ServerTest;

TEST_F(Stream, CloudReplyStreamsChargesAndIsStored)
{
    api->token = account("nina").token;
    const std::string id = newConversation(*api, "kestrune-echo");
    const std::string prompt = "  请复述：春眠不觉晓 🌸 and some English words  ";

    httplib::Client raw("127.0.0.1", server->port());
    auto res =
        raw.Post("/api/chat/stream", {{"Authorization", "Bearer " + api->token}},
                 json({{"prompt", prompt}, {"conversation_id", id}}).dump(), "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "text/event-stream");
    EXPECT_EQ(res->body.rfind("event: delta\ndata: {", 0), 0u) << res->body;

    const auto events = parseEvents(res->body);
    ASSERT_GE(events.size(), 3u);
    const Event& done = events.back();
    ASSERT_EQ(done.name, "done") << res->body;
    std::string joined;
    for (std::size_t i = 0; i + 1 < events.size(); ++i) {
        ASSERT_EQ(events[i].name, "delta");
        const std::string text = events[i].data["text"];
        // Pieces of a few characters, each valid UTF-8 on its own (never a replaced byte).
        EXPECT_GE(codePoints(text), 1u);
        EXPECT_LE(codePoints(text), 8u);
        EXPECT_EQ(text.find("\xEF\xBF\xBD"), std::string::npos);
        joined += text;
    }
    const std::string content = done.data["content"];
    EXPECT_EQ(joined, content);
    EXPECT_NE(content.find("请复述：春眠不觉晓 🌸 and some English words"), std::string::npos);
    // Charged by code points, not bytes: ceil(characters × 2 / 100) for this model.
    EXPECT_EQ(done.data["charged"], expectedCharge(content, 2));
    EXPECT_EQ(done.data["points"], 1000 - done.data["charged"].get<int>());
    EXPECT_EQ(done.data["truncated"], false);
    EXPECT_EQ(api->get("/api/me").body["user"]["points"], done.data["points"]);

    // The prompt is stored trimmed, the reply as the final event gave it.
    const json messages = api->get("/api/conversations/" + id).body["messages"];
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0],
              json({{"role", "user"}, {"content", "请复述：春眠不觉晓 🌸 and some English words"}}));
    EXPECT_EQ(messages[1], json({{"role", "assistant"}, {"content", content}}));

    // The next turn sees the stored history.
    const StreamResult second = api->stream({{"prompt", "再来"}, {"conversation_id", id}});
    ASSERT_EQ(second.last()->name, "done");
    EXPECT_NE(second.last()->data["content"].get<std::string>().find("2 条消息"),
              std::string::npos);
}

TEST_F(Stream, ShowcaseCoversMarkdownElements)
{
    api->token = account("oscar").token;
    const StreamResult s = api->stream(
        {{"prompt", "展示一下"}, {"conversation_id", newConversation(*api, "kestrune-showcase")}});
    ASSERT_EQ(s.last()->name, "done");
    const std::string content = s.last()->data["content"];
    for (const char* element :
         {"# ", "- ", "| --- |", "```cpp", "~~", "- [x]", "- [ ]", "](http", "![", "> 展示一下"})
        EXPECT_NE(content.find(element), std::string::npos) << element;
    EXPECT_EQ(s.last()->data["charged"], expectedCharge(content, 1));
}

TEST_F(Stream, PrivateModeStoresNothingButCharges)
{
    api->token = account("peggy").token;
    const json history = json::array({{{"role", "user"}, {"content", "早"}, {"extra", 1}},
                                      {{"role", "assistant"}, {"content", "早上好"}},
                                      {{"role", "user"}, {"content", "天气"}}});
    const StreamResult s = api->stream({{"prompt", "私密问题"},
                                        {"mode", "private"},
                                        {"model", "kestrune-echo"},
                                        {"history", history}});
    ASSERT_EQ(s.last()->name, "done") << s.raw;
    const std::string content = s.last()->data["content"];
    EXPECT_NE(content.find("收到 3 条历史记录"), std::string::npos) << content;
    EXPECT_NE(content.find("私密问题"), std::string::npos);
    EXPECT_EQ(api->get("/api/me").body["user"]["points"], 1000 - expectedCharge(content, 2));
    EXPECT_EQ(api->get("/api/conversations").body["conversations"], json::array());

    // An empty history is fine; unknown models and malformed history are refused up front.
    EXPECT_EQ(api->stream({{"prompt", "x"},
                           {"mode", "private"},
                           {"model", "kestrune-echo"},
                           {"history", json::array()}})
                  .last()
                  ->name,
              "done");
    EXPECT_EQ(api->stream({{"prompt", "x"},
                           {"mode", "private"},
                           {"model", "nope"},
                           {"history", json::array()}})
                  .status,
              400);
    EXPECT_EQ(api->stream({{"prompt", "x"},
                           {"mode", "private"},
                           {"model", "kestrune-echo"},
                           {"history", json::array({{{"role", "system"}, {"content", "x"}}})}})
                  .status,
              400);
}

class StreamWithFewPoints : public ServerTest
{
protected:
    std::vector<std::string> serverArgs() const override { return {"--initial-points", "3"}; }
};

TEST_F(StreamWithFewPoints, ReplyIsCutWhereTheBalanceRunsOut)
{
    api->token = account("quinn").token;
    const std::string id = newConversation(*api, "kestrune-showcase");
    const StreamResult s = api->stream({{"prompt", "写长一点"}, {"conversation_id", id}});
    ASSERT_EQ(s.last()->name, "done") << s.raw;
    const json& done = s.last()->data;
    const std::string content = done["content"];
    // 3 points at 1 point per 100 characters pay for exactly 300 characters.
    EXPECT_EQ(codePoints(content), 300u);
    EXPECT_EQ(s.deltaText(), content);
    EXPECT_EQ(content.find("\xEF\xBF\xBD"), std::string::npos);
    EXPECT_EQ(done["truncated"], true);
    EXPECT_EQ(done["charged"], 3);
    EXPECT_EQ(done["points"], 0);
    EXPECT_EQ(api->get("/api/conversations/" + id).body["messages"][1]["content"], content);

    // With nothing left, the next prompt is refused at once and nothing is stored.
    const StreamResult refused = api->stream({{"prompt", "还有吗"}, {"conversation_id", id}});
    EXPECT_EQ(refused.status, 402);
    EXPECT_TRUE(json::parse(refused.raw).contains("error"));
    EXPECT_EQ(api->get("/api/conversations/" + id).body["messages"].size(), 2u);
    EXPECT_EQ(api->get("/api/me").body["user"]["points"], 0);
}

class StreamWithNoPoints : public ServerTest
{
protected:
    std::vector<std::string> serverArgs() const override { return {"--initial-points", "0"}; }
};

TEST_F(StreamWithNoPoints, UserWithoutPointsGetsAnErrorNotAHang)
{
    api->token = account("rupert").token;
    const std::string id = newConversation(*api, "kestrune-echo");
    const StreamResult cloud = api->stream({{"prompt", "hello"}, {"conversation_id", id}});
    EXPECT_TRUE(isErrorReply(Reply{cloud.status, json::parse(cloud.raw), cloud.raw, ""}, 402));
    const StreamResult priv = api->stream({{"prompt", "hello"},
                                           {"mode", "private"},
                                           {"model", "kestrune-echo"},
                                           {"history", json::array()}});
    EXPECT_EQ(priv.status, 402);
    EXPECT_EQ(api->get("/api/conversations/" + id).body["messages"], json::array());
}

class StreamWithDelay : public ServerTest
{
protected:
    std::vector<std::string> serverArgs() const override { return {"--stream-delay-ms", "20"}; }
};

namespace
{

// Reads a reply until about `bytes` have arrived, then hangs up; the delta text that arrived.
std::string readThenHangUp(const TestApi& api, const json& body, std::size_t bytes)
{
    httplib::Client client("127.0.0.1", api.port);
    httplib::Request req;
    req.method = "POST";
    req.path = "/api/chat/stream";
    req.headers = {{"Authorization", "Bearer " + api.token}, {"Content-Type", "application/json"}};
    req.body = body.dump();
    std::string received;
    req.content_receiver = [&](const char* data, std::size_t len, std::uint64_t, std::uint64_t) {
        received.append(data, len);
        return received.size() < bytes;
    };
    client.send(req);
    EXPECT_GE(received.size(), bytes);
    EXPECT_EQ(received.find("event: done"), std::string::npos);
    StreamResult partial;
    partial.events = parseEvents(received);
    return partial.deltaText();
}

} // namespace

TEST_F(StreamWithDelay, HangingUpIsChargedForWhatWasSent)
{
    api->token = account("sybil").token;
    const std::string id = newConversation(*api, "kestrune-echo");
    std::string prompt;
    for (int i = 0; i < 400; ++i)
        prompt += "回声测试 ";
    const std::string seen =
        readThenHangUp(*api, {{"prompt", prompt}, {"conversation_id", id}}, 3000);
    ASSERT_FALSE(seen.empty());
    // The server notices at its next write and logs the end of the request.
    ASSERT_TRUE(server->waitForStderr("POST /api/chat/stream"));

    // The prompt and what was sent are kept, marked as cut short, and paid for.
    const json messages = api->get("/api/conversations/" + id).body["messages"];
    ASSERT_EQ(messages.size(), 2u) << messages.dump();
    EXPECT_EQ(messages[0]["content"], trimmedPrompt(prompt));
    const std::string kept = messages[1]["content"];
    EXPECT_EQ(kept.rfind(seen, 0), 0u) << "what arrived begins what was kept";
    EXPECT_LT(codePoints(kept), codePoints(prompt)) << "the whole reply was not sent";
    EXPECT_EQ(messages[1]["truncated"], true);
    EXPECT_EQ(api->get("/api/me").body["user"]["points"], 1000 - expectedCharge(kept, 2));

    // In private mode the same is charged, and nothing is kept.
    const auto before = api->get("/api/me").body["user"]["points"].get<std::int64_t>();
    const std::string privateSeen = readThenHangUp(*api, privateTurn(prompt), 3000);
    ASSERT_TRUE(server->waitForStderr("POST /api/chat/stream", 2));
    const auto after = api->get("/api/me").body["user"]["points"].get<std::int64_t>();
    EXPECT_GE(before - after, expectedCharge(privateSeen, 2));
    EXPECT_LT(before - after, expectedCharge(prompt, 2));
    EXPECT_EQ(api->get("/api/conversations").body["conversations"].size(), 1u);

    // The service is unharmed and the same conversation still works.
    EXPECT_EQ(api->stream({{"prompt", "再试"}, {"conversation_id", id}}).last()->name, "done");
}

TEST_F(StreamWithDelay, AReplyIntoADeletedConversationIsNotAppended)
{
    api->token = account("ursula").token;
    const std::string id = newConversation(*api, "kestrune-showcase");
    auto reply = std::async(std::launch::async, [&] {
        return api->stream({{"prompt", "删掉它"}, {"conversation_id", id}});
    });
    // Deleted while the reply streams.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(api->del("/api/conversations/" + id).status, 200);
    const StreamResult s = reply.get();
    ASSERT_EQ(s.last()->name, "done") << s.raw;
    // Paid for, as it was delivered, but the deleted conversation keeps what it had.
    EXPECT_EQ(api->get("/api/me").body["user"]["points"],
              1000 - s.last()->data["charged"].get<int>());
    EXPECT_EQ(
        sqlText(dataDir(), "SELECT COUNT(*) FROM messages WHERE conversation_id = '" + id + "'"),
        "0\n");
}

TEST_F(StreamWithDelay, ManyConcurrentStreamsDoNotBlockOtherRequests)
{
    constexpr int users = 4, streamsPerUser = 10;
    std::vector<Account> accounts;
    for (int u = 0; u < users; ++u)
        accounts.push_back(account("crowd_" + std::to_string(u)));

    std::vector<std::future<StreamResult>> streams;
    for (int i = 0; i < users * streamsPerUser; ++i) {
        const TestApi userApi = as(accounts[static_cast<std::size_t>(i % users)]);
        const std::string id = newConversation(userApi, "kestrune-echo");
        streams.push_back(std::async(std::launch::async, [userApi, id, i] {
            return userApi.stream(
                {{"prompt", "并发测试 number " + std::to_string(i) + " with a few more words"},
                 {"conversation_id", id}});
        }));
    }
    // While the streams run, ordinary requests are still answered.
    EXPECT_EQ(as(accounts[0]).get("/api/me").status, 200);
    EXPECT_EQ(as(accounts[1]).get("/api/models").status, 200);

    std::int64_t charged[users] = {};
    for (int i = 0; i < users * streamsPerUser; ++i) {
        const StreamResult s = streams[static_cast<std::size_t>(i)].get();
        ASSERT_TRUE(s.last() && s.last()->name == "done") << s.raw;
        EXPECT_NE(
            s.last()->data["content"].get<std::string>().find("number " + std::to_string(i) + " "),
            std::string::npos);
        charged[i % users] += s.last()->data["charged"].get<std::int64_t>();
    }
    for (int u = 0; u < users; ++u)
        EXPECT_EQ(as(accounts[static_cast<std::size_t>(u)]).get("/api/me").body["user"]["points"],
                  1000 - charged[u]);
}

class StreamConcurrentBalance : public ServerTest
{
protected:
    std::vector<std::string> serverArgs() const override { return {"--initial-points", "25"}; }
};

TEST_F(StreamConcurrentBalance, ParallelStreamsOfOneUserNeverOverspend)
{
    // Each showcase reply costs about 6 points; eight at once from a balance of 25 must not
    // take it below zero, and what is charged must equal what is stored.
    const Account a = account("trent");
    const TestApi userApi = as(a);
    std::vector<std::string> ids;
    std::vector<std::future<StreamResult>> streams;
    for (int i = 0; i < 8; ++i) {
        ids.push_back(newConversation(userApi, "kestrune-showcase"));
        streams.push_back(std::async(std::launch::async, [userApi, id = ids.back()] {
            return userApi.stream({{"prompt", "并发"}, {"conversation_id", id}});
        }));
    }
    std::int64_t totalCharged = 0;
    int completed = 0;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        const StreamResult s = streams[i].get();
        const json messages = userApi.get("/api/conversations/" + ids[i]).body["messages"];
        if (s.status == 402 || (s.last() && s.last()->name == "error")) {
            EXPECT_EQ(messages, json::array());
            continue;
        }
        ASSERT_EQ(s.last()->name, "done") << s.raw;
        const std::string content = s.last()->data["content"];
        EXPECT_EQ(s.last()->data["charged"], expectedCharge(content, 1));
        ASSERT_EQ(messages.size(), 2u);
        EXPECT_EQ(messages[1]["content"], content);
        totalCharged += s.last()->data["charged"].get<std::int64_t>();
        ++completed;
    }
    const auto balance = userApi.get("/api/me").body["user"]["points"].get<std::int64_t>();
    EXPECT_GE(balance, 0);
    EXPECT_EQ(totalCharged + balance, 25);
    EXPECT_GE(completed, 2);
}
