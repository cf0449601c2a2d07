#include "fixture.h"

using Conversations = ServerTest;

TEST_F(Conversations, ModelsAreListedWithPrices)
{
    api->token = account("ivan").token;
    const Reply r = api->get("/api/models");
    ASSERT_EQ(r.status, 200);
    ASSERT_EQ(r.body["models"].size(), 2u);
    EXPECT_EQ(r.body["models"][0], json({{"id", "kestrune-showcase"},
                                         {"display_name", "Markdown 展示"},
                                         {"points_per_100", 1}}));
    EXPECT_EQ(r.body["models"][1],
              json({{"id", "kestrune-echo"}, {"display_name", "回声"}, {"points_per_100", 2}}));
    api->token.clear();
    EXPECT_TRUE(isErrorReply(api->get("/api/models"), 401));
}

TEST_F(Conversations, CreateOpenRenameDelete)
{
    api->token = account("judy").token;
    const Reply created = api->post("/api/conversations", {{"model", "kestrune-echo"}});
    ASSERT_EQ(created.status, 201) << created.raw;
    const json c = created.body["conversation"];
    const std::string id = c["id"];
    EXPECT_EQ(c["model"], "kestrune-echo");
    EXPECT_TRUE(c["title"].is_string());
    EXPECT_TRUE(isErrorReply(api->post("/api/conversations", {{"model", "no-such-model"}}), 400));

    const Reply opened = api->get("/api/conversations/" + id);
    ASSERT_EQ(opened.status, 200);
    EXPECT_EQ(opened.body["conversation"]["model"], "kestrune-echo");
    EXPECT_EQ(opened.body["messages"], json::array());

    // Titles are trimmed, made one line and limited; an empty one is refused and changes nothing.
    Reply renamed = api->patch("/api/conversations/" + id, {{"title", "\u3000 旅行\n计划 \t"}});
    ASSERT_EQ(renamed.status, 200) << renamed.raw;
    EXPECT_EQ(renamed.body["title"], "旅行 计划");
    EXPECT_TRUE(
        isErrorReply(api->patch("/api/conversations/" + id, {{"title", " \n\u3000"}}), 400));
    std::string longTitle;
    for (int i = 0; i < 100; ++i)
        longTitle += "长";
    renamed = api->patch("/api/conversations/" + id, {{"title", longTitle}});
    EXPECT_EQ(renamed.body["title"].get<std::string>().size(), 80u * 3);
    EXPECT_EQ(api->get("/api/conversations/" + id).body["conversation"]["title"],
              renamed.body["title"]);

    const Reply list = api->get("/api/conversations");
    ASSERT_EQ(list.body["conversations"].size(), 1u);
    EXPECT_EQ(list.body["conversations"][0]["id"], id);
    EXPECT_EQ(list.body["conversations"][0]["title"], renamed.body["title"]);

    EXPECT_EQ(api->del("/api/conversations/" + id).status, 200);
    EXPECT_TRUE(isErrorReply(api->get("/api/conversations/" + id), 404));
    EXPECT_TRUE(isErrorReply(api->del("/api/conversations/" + id), 404));
    EXPECT_TRUE(isErrorReply(api->patch("/api/conversations/" + id, {{"title", "x"}}), 404));
    EXPECT_EQ(api->get("/api/conversations").body["conversations"], json::array());
}

TEST_F(Conversations, ListedNewestActivityFirst)
{
    api->token = account("ken").token;
    auto create = [&] { return newConversation(*api); };
    const std::string first = create(), second = create();
    auto ids = [&] {
        std::vector<std::string> out;
        const Reply list = api->get("/api/conversations");
        for (const auto& c : list.body["conversations"])
            out.push_back(c["id"]);
        return out;
    };
    EXPECT_EQ(ids(), (std::vector<std::string>{second, first}));
    // A reply in the older conversation brings it to the top and names it after the prompt.
    const StreamResult s = api->stream({{"prompt", "第一次的问题"}, {"conversation_id", first}});
    ASSERT_EQ(s.last()->name, "done") << s.raw;
    EXPECT_EQ(ids(), (std::vector<std::string>{first, second}));
    EXPECT_EQ(api->get("/api/conversations").body["conversations"][0]["title"], "第一次的问题");
}

TEST_F(Conversations, UsersSeeOnlyTheirOwn)
{
    const Account owner = account("laura"), other = account("mallory");
    const TestApi ownerApi = as(owner), otherApi = as(other);
    const std::string id = newConversation(ownerApi);
    ASSERT_EQ(ownerApi.stream({{"prompt", "secret plan"}, {"conversation_id", id}}).last()->name,
              "done");
    EXPECT_NE(owner.user["id"], other.user["id"]);

    EXPECT_TRUE(isErrorReply(otherApi.get("/api/conversations/" + id), 404));
    EXPECT_TRUE(isErrorReply(otherApi.patch("/api/conversations/" + id, {{"title", "mine"}}), 404));
    EXPECT_TRUE(isErrorReply(otherApi.del("/api/conversations/" + id), 404));
    const StreamResult s = otherApi.stream({{"prompt", "hi"}, {"conversation_id", id}});
    EXPECT_EQ(s.status, 404);
    EXPECT_EQ(otherApi.get("/api/conversations").body["conversations"], json::array());

    // Nothing of the owner's conversation changed.
    const Reply mine = ownerApi.get("/api/conversations/" + id);
    ASSERT_EQ(mine.status, 200);
    EXPECT_EQ(mine.body["conversation"]["title"], "secret plan");
    EXPECT_EQ(mine.body["messages"].size(), 2u);
}
