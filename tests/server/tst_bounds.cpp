// What one account may keep: conversations and stored text are bounded, deleted conversations
// make room, a reply sees a bounded history, and a full disk fails a turn whole.
#include "database.h"
#include "fixture.h"

using Bounds = ServerTest;

class FewConversations : public ServerTest
{
protected:
    std::vector<std::string> serverArgs() const override
    {
        return {"--max-conversations-per-account", "3"};
    }
};

TEST_F(FewConversations, DeletedConversationsMakeRoom)
{
    api->token = account("collector").token;
    std::vector<std::string> ids;
    for (int i = 0; i < 3; ++i)
        ids.push_back(newConversation(*api));
    const Reply refused = api->post("/api/conversations", {{"model", "kestrune-echo"}});
    EXPECT_TRUE(isErrorReply(refused, 403));
    EXPECT_EQ(refused.body["error"], "对话数量已达上限（3 个），请删除一些旧对话后再试。");

    // A deleted conversation counts until it is removed for good to make room.
    ASSERT_EQ(api->del("/api/conversations/" + ids[0]).status, 200);
    EXPECT_EQ(api->post("/api/conversations", {{"model", "kestrune-echo"}}).status, 201);
    EXPECT_EQ(sqlText(dataDir(), "SELECT COUNT(*) FROM conversations"), "3\n");
    EXPECT_EQ(sqlText(dataDir(), "SELECT COUNT(*) FROM conversations WHERE id = '" + ids[0] + "'"),
              "0\n");
    // Each account has a bound of its own.
    TestApi other = as(account("other"));
    EXPECT_EQ(other.post("/api/conversations", {{"model", "kestrune-echo"}}).status, 201);
}

class LittleStorage : public ServerTest
{
protected:
    std::vector<std::string> serverArgs() const override
    {
        return {"--max-storage-per-account", "64KiB"};
    }
};

TEST_F(LittleStorage, StoredTextIsBoundedPerAccount)
{
    api->token = account("writer").token;
    // The echo model repeats the prompt: each turn stores about 20 KB.
    const std::string prompt(10000, 'w');
    const std::string id = newConversation(*api);
    int stored = 0;
    StreamResult refused;
    for (int i = 0; i < 10; ++i) {
        const StreamResult s = api->stream({{"prompt", prompt}, {"conversation_id", id}});
        if (s.status != 200) {
            refused = s;
            break;
        }
        ASSERT_EQ(s.last()->name, "done") << s.raw;
        ++stored;
    }
    EXPECT_EQ(stored, 3);
    EXPECT_EQ(refused.status, 403);
    EXPECT_EQ(json::parse(refused.raw, nullptr, false).value("error", ""),
              "存储空间已用完（上限 64 KB），请删除一些旧对话后再试。");
    EXPECT_EQ(api->get("/api/conversations/" + id).body["messages"].size(), 6u);

    // Deleting the conversation gives its room back.
    ASSERT_EQ(api->del("/api/conversations/" + id).status, 200);
    const std::string next = newConversation(*api);
    EXPECT_EQ(api->stream({{"prompt", prompt}, {"conversation_id", next}}).last()->name, "done");
}

TEST_F(Bounds, AReplySeesOnlyTheLatestTurns)
{
    api->token = account("chatty").token;
    const std::string id = newConversation(*api);
    for (int i = 0; i < 26; ++i)
        ASSERT_EQ(
            api->stream({{"prompt", "第 " + std::to_string(i) + " 轮"}, {"conversation_id", id}})
                .last()
                ->name,
            "done");
    // 52 messages are stored; the model is given the latest 50.
    const StreamResult s = api->stream({{"prompt", "还记得吗"}, {"conversation_id", id}});
    ASSERT_EQ(s.last()->name, "done");
    EXPECT_NE(s.last()->data["content"].get<std::string>().find("本对话此前已有 50 条消息"),
              std::string::npos)
        << s.last()->data["content"];
    EXPECT_EQ(api->get("/api/conversations/" + id).body["messages"].size(), 54u);
}

class BoundsWithSlowReplies : public ServerTest
{
protected:
    std::vector<std::string> serverArgs() const override { return {"--stream-delay-ms", "20"}; }
};

TEST_F(BoundsWithSlowReplies, AFullDiskFailsATurnWhole)
{
    const Account a = account("diskless");
    api->token = a.token;
    const std::string id = newConversation(*api);
    ASSERT_EQ(api->stream({{"prompt", "先来"}, {"conversation_id", id}}).last()->name, "done");
    const Reply before = api->get("/api/conversations/" + id);
    const json points = api->get("/api/me").body["user"]["points"];

    // The disk fills while a reply streams: it ends, told that it was not kept.
    RawConnection streaming(server->port());
    ASSERT_NE(startRawStream(streaming, a.token).find("event: delta"), std::string::npos);
    ASSERT_TRUE(server->limitFileSize(1));
    const std::string rest = streaming.receive("event: error");
    EXPECT_NE(rest.find("回复未能保存，本次不扣点数，请重试。"), std::string::npos) << rest;

    // While it is full, neither a reply nor a conversation is begun.
    const StreamResult refused =
        api->stream({{"prompt", std::string(2000, 'd')}, {"conversation_id", id}});
    EXPECT_EQ(refused.status, 503) << refused.raw;
    EXPECT_NE(refused.raw.find("服务器暂时无法保存数据，请稍后再试。"), std::string::npos)
        << refused.raw;
    const Reply create = api->post("/api/conversations", {{"model", "kestrune-echo"}});
    EXPECT_TRUE(isErrorReply(create, 503));
    EXPECT_EQ(create.body["error"], "服务器暂时无法保存数据，请稍后再试。");
    ASSERT_TRUE(server->limitFileSize(0));

    // Nothing was kept or charged, and the next turn works.
    EXPECT_EQ(api->get("/api/conversations/" + id).body, before.body);
    EXPECT_EQ(api->get("/api/me").body["user"]["points"], points);
    EXPECT_EQ(api->stream({{"prompt", "再来"}, {"conversation_id", id}}).last()->name, "done");
}
