#include "fixture.h"
#include "search.h"

#include <cstdio>

namespace
{

std::string encoded(const std::string& text)
{
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", c);
            out += escape;
        }
    }
    return out;
}

Reply search(const TestApi& api, const std::string& query, const std::string& extra = "")
{
    return api.get("/api/search?q=" + encoded(query) + extra);
}

// The conversation ids and roles of the results, in order.
std::vector<std::string> found(const Reply& reply)
{
    std::vector<std::string> out;
    for (const auto& hit : reply.body["results"])
        out.push_back(hit["conversation_id"].get<std::string>() + "/" +
                      hit["role"].get<std::string>());
    return out;
}

// The marked parts of each result's snippet, by its code-point offsets.
std::vector<std::string> marked(const Reply& reply)
{
    std::vector<std::string> out;
    for (const auto& hit : reply.body["results"]) {
        const std::string snippet = hit["snippet"];
        for (const auto& match : hit["matches"]) {
            const std::size_t start = match[0], length = match[1];
            std::size_t at = 0, point = 0, from = 0;
            for (; at < snippet.size() && point < start + length; ++at) {
                if ((static_cast<unsigned char>(snippet[at]) & 0xC0) != 0x80) {
                    if (point == start)
                        from = at;
                    ++point;
                }
            }
            while (at < snippet.size() && (static_cast<unsigned char>(snippet[at]) & 0xC0) == 0x80)
                ++at;
            out.push_back(snippet.substr(from, at - from));
        }
    }
    return out;
}

} // namespace

using Search = ServerTest;

// Turns are found by their text, newest first, for one and two Chinese characters (a scan)
// and longer queries (the index) alike, Latin letters regardless of case, past Markdown marks;
// the snippet marks each match.
TEST_F(Search, FindsTurnsNewestFirst)
{
    api->token = account("nora").token;
    const std::string trip = newConversation(*api), work = newConversation(*api);
    ASSERT_EQ(
        api->stream({{"prompt", "旅行计划：去杭州看西湖"}, {"conversation_id", trip}}).last()->name,
        "done");
    ASSERT_EQ(
        api->stream({{"prompt", "Kubernetes 的 **Deployment** 怎么写"}, {"conversation_id", work}})
            .last()
            ->name,
        "done");

    // The echo model repeats the prompt: each turn is found as the user's and the reply.
    Reply r = search(*api, "西湖");
    ASSERT_EQ(r.status, 200) << r.raw;
    EXPECT_EQ(found(r), (std::vector<std::string>{trip + "/assistant", trip + "/user"}));
    EXPECT_EQ(marked(r), (std::vector<std::string>{"西湖", "西湖"}));
    EXPECT_EQ(r.body["results"][0]["title"], "旅行计划：去杭州看西湖");
    EXPECT_TRUE(r.body["results"][0]["created_at"].is_number_integer());

    EXPECT_EQ(found(search(*api, "湖")).size(), 2u);
    EXPECT_EQ(found(search(*api, "杭州看西")).size(), 2u);
    r = search(*api, "deployment 怎么");
    EXPECT_EQ(found(r), (std::vector<std::string>{work + "/assistant", work + "/user"}));
    EXPECT_EQ(marked(r), (std::vector<std::string>{"Deployment 怎么", "Deployment 怎么"}));
    // Newest first across conversations, and the limit.
    r = search(*api, "的", "&limit=1");
    EXPECT_EQ(found(r), (std::vector<std::string>{work + "/assistant"}));
    EXPECT_TRUE(found(search(*api, "上海")).empty());
    // Wildcards of the engines are plain characters here.
    EXPECT_TRUE(found(search(*api, "%")).empty());
    EXPECT_TRUE(found(search(*api, "_")).empty());
    EXPECT_TRUE(found(search(*api, "\"")).empty());
}

// Another account's turns, and deleted conversations, are never found; bad requests are
// refused with the service's error texts.
TEST_F(Search, OnlyTheAccountsOwnLiveConversations)
{
    const Account owner = account("olga"), other = account("peggy");
    const TestApi ownerApi = as(owner), otherApi = as(other);
    const std::string kept = newConversation(ownerApi), gone = newConversation(ownerApi);
    ASSERT_EQ(
        ownerApi.stream({{"prompt", "机密项目代号青鸟"}, {"conversation_id", kept}}).last()->name,
        "done");
    ASSERT_EQ(ownerApi.stream({{"prompt", "旧的青鸟草案"}, {"conversation_id", gone}}).last()->name,
              "done");
    EXPECT_EQ(found(search(ownerApi, "青鸟")).size(), 4u);
    EXPECT_TRUE(found(search(otherApi, "青鸟")).empty());
    EXPECT_TRUE(found(search(otherApi, "机密项目")).empty());

    ASSERT_EQ(ownerApi.del("/api/conversations/" + gone).status, 200);
    EXPECT_EQ(found(search(ownerApi, "青鸟")),
              (std::vector<std::string>{kept + "/assistant", kept + "/user"}));
    EXPECT_TRUE(found(search(ownerApi, "草案")).empty());

    EXPECT_TRUE(isErrorReply(search(ownerApi, " \u3000"), 400));
    EXPECT_TRUE(isErrorReply(search(ownerApi, std::string(101, 'a')), 400));
    EXPECT_TRUE(isErrorReply(search(ownerApi, "青鸟", "&limit=0"), 400));
    EXPECT_TRUE(isErrorReply(search(ownerApi, "青鸟", "&limit=x"), 400));
    EXPECT_EQ(search(ownerApi, "青鸟", "&limit=1000").status, 200);
    TestApi anonymous(server->port());
    EXPECT_TRUE(isErrorReply(search(anonymous, "青鸟"), 401));
}

TEST(ServerUnits, SearchSnippets)
{
    using kestrune::plainText;
    using kestrune::snippetOf;
    EXPECT_EQ(plainText("**重要**的`code`与~~旧~~和__下划线__"), "重要的code与旧和下划线");
    const std::string longText = std::string(100, 'x') + "中间的词" + std::string(200, 'y');
    const kestrune::SearchHit hit = snippetOf(longText, "中间");
    ASSERT_EQ(hit.matches.size(), 1u);
    EXPECT_EQ(hit.matches[0], (std::pair<std::size_t, std::size_t>{31, 2}));
    EXPECT_TRUE(hit.snippet.starts_with("…x"));
    EXPECT_TRUE(hit.snippet.ends_with("y…"));
    EXPECT_EQ(codePoints(hit.snippet), 122u);
    // Line breaks become spaces; every match in the snippet is marked.
    const kestrune::SearchHit lines = snippetOf("第一行 Apple\n第二行 apple", "APPLE");
    EXPECT_EQ(lines.snippet, "第一行 Apple 第二行 apple");
    EXPECT_EQ(lines.matches.size(), 2u);
    EXPECT_TRUE(snippetOf("没有", "有没").matches.empty());
}
