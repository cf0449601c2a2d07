#include "fixture.h"

namespace
{

struct BadRequest {
    std::string method;
    std::string path;
    std::string body;
    int status;
};

} // namespace

using BadInput = ServerTest;

TEST_F(BadInput, RefusedWithChineseErrorAndNothingChanges)
{
    const Account a = account("victor");
    api->token = a.token;
    const std::string id = newConversation(*api);
    ASSERT_EQ(api->stream({{"prompt", "原始内容"}, {"conversation_id", id}}).last()->name, "done");
    const Reply before = api->get("/api/conversations/" + id);
    const json pointsBefore = api->get("/api/me").body["user"]["points"];
    const std::string conv = "/api/conversations/" + id;

    const std::vector<BadRequest> cases = {
        // Not JSON, not an object, wrong types, missing keys.
        {"POST", "/api/auth/login", "{\"login\": ", 400},
        {"POST", "/api/auth/login", "[\"victor\"]", 400},
        {"POST", "/api/auth/login", "", 400},
        {"POST", "/api/auth/login", R"({"login": 1, "password": "x"})", 400},
        {"POST", "/api/auth/login", R"({"login": "victor"})", 400},
        {"POST", "/api/auth/register", R"({"username": "x", "email": null, "password": "p"})", 400},
        {"POST", "/api/auth/verify", R"({"pending_id": 5, "code": "123456"})", 400},
        {"POST", "/api/conversations", R"({"model": 5})", 400},
        {"POST", "/api/conversations", "{}", 400},
        {"PATCH", conv, R"({"title": null})", 400},
        {"PATCH", conv, R"({"title": ["a"]})", 400},
        {"PATCH", conv, "not json", 400},
        {"PATCH", conv, R"({"name": "x"})", 400},
        {"POST", "/api/chat/stream", R"({"prompt": ["a"], "conversation_id": ")" + id + "\"}", 400},
        {"POST", "/api/chat/stream", R"({"prompt": "hi", "conversation_id": 123})", 400},
        {"POST", "/api/chat/stream", R"({"prompt": "hi"})", 400},
        {"POST", "/api/chat/stream", R"({"prompt": "  ", "conversation_id": ")" + id + "\"}", 400},
        {"POST", "/api/chat/stream",
         R"({"prompt": "hi", "mode": "public", "model": "kestrune-echo", "history": []})", 400},
        {"POST", "/api/chat/stream",
         R"({"prompt": "hi", "mode": "private", "model": "kestrune-echo", "history": {}})", 400},
        {"POST", "/api/chat/stream",
         R"({"prompt": "hi", "mode": "private", "model": "kestrune-echo", "history": [1]})", 400},
        {"POST", "/api/chat/stream", R"({"prompt": "hi", "mode": "private", "history": []})", 400},
        // Unknown or foreign ids, SQL-looking text.
        {"GET", "/api/conversations/does-not-exist", "", 404},
        {"GET", "/api/conversations/1'%20OR%20'1'='1", "", 404},
        {"DELETE", "/api/conversations/x'%3B%20DELETE%20FROM%20messages%3B--", "{}", 404},
        {"POST", "/api/chat/stream", R"({"prompt": "hi", "conversation_id": "' OR 1=1 --"})", 404},
        {"POST", "/api/auth/login", R"({"login": "victor' --", "password": "' OR '1'='1"})", 401},
        // Unknown paths and methods.
        {"GET", "/api/nothing-here", "", 404},
        {"GET", "/", "", 404},
        {"POST", "/api/conversations/" + id + "/extra", "{}", 404},
        {"PUT", "/api/me", "{}", 405},
        {"DELETE", "/api/models", "{}", 405},
        {"GET", "/api/chat/stream", "", 405},
        {"POST", conv, "{}", 405},
        {"BREW", "/api/me", "", 400},
    };
    for (const auto& c : cases) {
        const Reply r = api->send(c.method, c.path, c.body);
        EXPECT_TRUE(isErrorReply(r, c.status)) << c.method << " " << c.path << " " << c.body;
        EXPECT_NE(r.contentType.find("application/json"), std::string::npos) << c.path;
    }

    // Over 1 MiB.
    const std::string huge = R"({"title": ")" + std::string(1024 * 1024 + 10, 'a') + "\"}";
    EXPECT_TRUE(isErrorReply(api->send("PATCH", conv, huge), 413));

    // Without a valid token every protected endpoint refuses.
    TestApi anonymous(server->port());
    for (const auto& [method, path] :
         std::vector<std::pair<std::string, std::string>>{{"GET", "/api/me"},
                                                          {"POST", "/api/auth/logout"},
                                                          {"GET", "/api/models"},
                                                          {"GET", "/api/conversations"},
                                                          {"POST", "/api/conversations"},
                                                          {"GET", conv},
                                                          {"PATCH", conv},
                                                          {"DELETE", conv},
                                                          {"POST", "/api/chat/stream"}})
        EXPECT_TRUE(isErrorReply(anonymous.send(method, path, "{}"), 401)) << method << " " << path;

    // Nothing changed.
    EXPECT_EQ(api->get("/api/conversations/" + id).body, before.body);
    EXPECT_EQ(api->get("/api/conversations").body["conversations"].size(), 1u);
    EXPECT_EQ(api->get("/api/me").body["user"]["points"], pointsBefore);
    EXPECT_EQ(api->get("/api/me").status, 200); // the token survived all of it
}

TEST_F(BadInput, SqlLookingTextIsStoredLiterally)
{
    api->token = account("wendy").token;
    const std::string id = newConversation(*api);
    const std::string title = "x'); DROP TABLE conversations; --";
    EXPECT_EQ(api->patch("/api/conversations/" + id, {{"title", title}}).body["title"], title);
    const std::string prompt = "Robert'); DELETE FROM users; --";
    const StreamResult s = api->stream({{"prompt", prompt}, {"conversation_id", id}});
    ASSERT_EQ(s.last()->name, "done");
    const Reply r = api->get("/api/conversations/" + id);
    EXPECT_EQ(r.body["conversation"]["title"], title);
    EXPECT_EQ(r.body["messages"][0]["content"], prompt);
    EXPECT_EQ(api->get("/api/me").status, 200);
}

TEST_F(BadInput, UnknownTransferCodingsAndDeepNestingAreRefused)
{
    // A coding other than chunked: refused, and what follows is not read as a second request.
    RawConnection raw(server->port());
    raw.send("POST /api/auth/login HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\n"
             "GET /api/me HTTP/1.1\r\nHost: x\r\n\r\n");
    const std::string response = raw.receive();
    EXPECT_EQ(response.substr(0, response.find("\r\n")), "HTTP/1.1 400 Bad Request") << response;
    EXPECT_EQ(response.find("HTTP/1.1", 1), std::string::npos) << response;
    // 200,000 nested arrays: a plain 400, and the service is unharmed.
    EXPECT_TRUE(isErrorReply(api->send("POST", "/api/auth/login", std::string(200000, '[')), 400));
    EXPECT_TRUE(isErrorReply(api->get("/api/me"), 401));
}
