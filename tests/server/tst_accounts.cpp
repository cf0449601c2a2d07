#include "database.h"
#include "fixture.h"

namespace
{

json registerBody(const std::string& user, const std::string& email, const std::string& password)
{
    return {{"username", user}, {"email", email}, {"password", password}};
}

} // namespace

using Accounts = ServerTest;

TEST_F(Accounts, RegisterVerifyLoginMeLogout)
{
    const Reply reg = api->post(
        "/api/auth/register", registerBody("alice_01", "Alice@Example.org", "a long enough pass"));
    ASSERT_EQ(reg.status, 200) << reg.raw;
    const std::string pending = reg.body.value("pending_id", "");
    ASSERT_FALSE(pending.empty());

    // The mail is a proper RFC 5322 message whose body holds the code as its only six digits.
    const std::string mail = mailFor(outbox(), pending);
    for (const char* header : {"From: ", "To: <Alice@Example.org>", "Subject: =?UTF-8?B?",
                               "Date: ", "Message-ID: <", "MIME-Version: 1.0", "charset=UTF-8"})
        EXPECT_NE(mail.find(header), std::string::npos) << header;
    const std::string code = codeInMail(mail);
    ASSERT_EQ(code.size(), 6u);
    EXPECT_TRUE(server->waitForStdout(code));

    // Not an account before verification.
    EXPECT_TRUE(isErrorReply(
        api->post("/api/auth/login", {{"login", "alice_01"}, {"password", "a long enough pass"}}),
        401));

    const Reply ver = api->post("/api/auth/verify", {{"pending_id", pending}, {"code", code}});
    ASSERT_EQ(ver.status, 200) << ver.raw;
    EXPECT_EQ(ver.body["verified"], true);
    // A pending registration is used up by its verification.
    EXPECT_GE(api->post("/api/auth/verify", {{"pending_id", pending}, {"code", code}}).status, 400);

    // Sign-in by user name or e-mail, case-insensitively.
    const Reply byMail = api->post(
        "/api/auth/login", {{"login", "alice@example.ORG"}, {"password", "a long enough pass"}});
    ASSERT_EQ(byMail.status, 200) << byMail.raw;
    const Reply login =
        api->post("/api/auth/login", {{"login", " ALICE_01 "}, {"password", "a long enough pass"}});
    ASSERT_EQ(login.status, 200) << login.raw;
    const std::string token = login.body["token"];
    EXPECT_EQ(token.size(), 64u);
    EXPECT_NE(token, byMail.body["token"].get<std::string>());
    const json user = login.body["user"];
    ASSERT_TRUE(user["id"].is_string());
    EXPECT_EQ(user["username"], "alice_01");
    EXPECT_EQ(user["points"], 1000);

    api->token = token;
    const Reply me = api->get("/api/me");
    ASSERT_EQ(me.status, 200);
    EXPECT_EQ(me.body["user"]["id"], user["id"]);
    EXPECT_EQ(me.body["user"]["username"], "alice_01");

    EXPECT_EQ(api->post("/api/auth/logout", json::object()).status, 200);
    EXPECT_TRUE(isErrorReply(api->get("/api/me"), 401));
    EXPECT_TRUE(isErrorReply(api->get("/api/conversations"), 401));
    // The other session is untouched by this logout.
    api->token = byMail.body["token"];
    EXPECT_EQ(api->get("/api/me").status, 200);
}

TEST_F(Accounts, RegistrationRulesAndDuplicates)
{
    const std::string good = "twelve chars";
    const std::vector<json> refused = {
        registerBody("ab", "x@example.org", good),                 // too short
        registerBody(std::string(33, 'a'), "x@example.org", good), // too long
        registerBody("bad-name", "x@example.org", good),           // hyphen
        registerBody("名字名字", "x@example.org", good),           // not ASCII
        registerBody("valid_name", "no-at-sign.org", good),
        registerBody("valid_name", "two@@example.org", good),
        registerBody("valid_name", "x@localhost", good),
        registerBody("valid_name", "x@example.org\r\nBcc: y@example.org", good), // header injection
        registerBody("valid_name", "x@example.org", "elevenchars"),              // 11 characters
        registerBody("valid_name", "x@example.org",
                     "密码只有十一个字符啊啊"), // 11 code points, 33 bytes
    };
    for (const auto& body : refused)
        EXPECT_TRUE(isErrorReply(api->post("/api/auth/register", body), 400)) << body.dump();
    EXPECT_TRUE(std::filesystem::is_empty(outbox()));

    // 12 code points are enough even when they are Chinese.
    EXPECT_EQ(api->post("/api/auth/register",
                        registerBody("chinese_pw", "c@example.org", "这个密码正好有十二个字啊"))
                  .status,
              200);

    account("bob");
    EXPECT_TRUE(isErrorReply(
        api->post("/api/auth/register", registerBody("BOB", "other@example.org", good)), 409));
    EXPECT_TRUE(isErrorReply(
        api->post("/api/auth/register", registerBody("bobby", "BOB@example.org", good)), 409));
}

TEST_F(Accounts, VerificationCodeTriesAndExpiry)
{
    auto start = [&](const std::string& name) {
        const Reply r = api->post("/api/auth/register",
                                  registerBody(name, name + "@example.org", "long password 1"));
        const std::string pending = r.body.value("pending_id", "");
        return std::make_pair(pending, codeInMail(mailFor(outbox(), pending)));
    };
    auto verify = [&](const std::string& pending, const std::string& code) {
        return api->post("/api/auth/verify", {{"pending_id", pending}, {"code", code}});
    };
    auto wrong = [](const std::string& code) { return code == "000000" ? "000001" : "000000"; };

    // Four wrong tries leave the registration usable; malformed codes do not count.
    const auto [p1, c1] = start("carol");
    EXPECT_TRUE(isErrorReply(verify(p1, "12345"), 400));
    EXPECT_TRUE(isErrorReply(verify(p1, "abcdef"), 400));
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(isErrorReply(verify(p1, wrong(c1)), 400));
    EXPECT_EQ(verify(p1, c1).status, 200);

    // The fifth wrong try ends it: the right code no longer works.
    const auto [p2, c2] = start("dave");
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(isErrorReply(verify(p2, wrong(c2)), 400));
    EXPECT_TRUE(isErrorReply(verify(p2, wrong(c2)), 429));
    EXPECT_GE(verify(p2, c2).status, 400);
    EXPECT_TRUE(isErrorReply(
        api->post("/api/auth/login", {{"login", "dave"}, {"password", "long password 1"}}), 401));

    // A code past its 15 minutes is refused even when right.
    const auto [p3, c3] = start("erin");
    sql(dataDir(), "UPDATE pending_registrations SET expires_ms = 0 WHERE id = '" + p3 + "'");
    EXPECT_TRUE(isErrorReply(verify(p3, c3), 410));

    EXPECT_TRUE(isErrorReply(verify("no-such-registration", "123456"), 404));
}

TEST_F(Accounts, RepeatedFailedLoginsAreRefused)
{
    const Account frank = account("frank");
    account("grace");
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(isErrorReply(
            api->post("/api/auth/login", {{"login", "frank"}, {"password", "wrong guess "}}), 401));
    // Locked now, even with the right password; other accounts are not affected.
    EXPECT_TRUE(isErrorReply(
        api->post("/api/auth/login", {{"login", "FRANK"}, {"password", frank.password}}), 429));
    EXPECT_EQ(
        api->post("/api/auth/login", {{"login", "grace"}, {"password", "correct horse grace"}})
            .status,
        200);
}

TEST_F(Accounts, SecretsNeverStoredOrLoggedInClear)
{
    const Account a = account("heidi");
    ASSERT_TRUE(server->waitForStderr("POST /api/auth/login 200")) << server->stderrText();
    const std::string log = server->stderrText();
    EXPECT_EQ(log.find(a.password), std::string::npos);
    EXPECT_EQ(log.find(a.token), std::string::npos);

    EXPECT_EQ(sqlText(dataDir(), "SELECT digest FROM tokens").find(a.token), std::string::npos);
    EXPECT_EQ(sqlText(dataDir(), "SELECT substr(password_hash, 1, 10) FROM users"), "$argon2id$\n");

    // Tokens that are malformed, unknown or empty all read as signed out.
    for (const std::string& token : {std::string("x"), std::string(64, 'a'), a.token + "0"}) {
        TestApi other(server->port());
        other.token = token;
        EXPECT_TRUE(isErrorReply(other.get("/api/me"), 401)) << token;
    }
}
