// What an attacker or a flood meets: guesses counted per account and per address, sign-ups
// limited per address and per hour, an outbox that does not grow without end.
#include "database.h"
#include "fixture.h"

#include "loginthrottle.h"
#include "outbox.h"
#include "signuplimit.h"

#include <fstream>

namespace
{

json loginBody(const std::string& login, const std::string& password)
{
    return {{"login", login}, {"password", password}};
}

json registerBody(const std::string& name)
{
    return {{"username", name},
            {"email", name + "@example.org"},
            {"password", "a long enough password"}};
}

} // namespace

using Abuse = ServerTest;

TEST_F(Abuse, GuessesCountPerAccountWhicheverNameIsTyped)
{
    const Account ivan = account("ivan");
    // Three guesses by name and two by e-mail address are five against the one account.
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(isErrorReply(api->post("/api/auth/login", loginBody("ivan", "guess")), 401));
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(
            isErrorReply(api->post("/api/auth/login", loginBody(ivan.email, "guess")), 401));
    EXPECT_TRUE(isErrorReply(api->post("/api/auth/login", loginBody("ivan", ivan.password)), 429));
    EXPECT_TRUE(
        isErrorReply(api->post("/api/auth/login", loginBody(ivan.email, ivan.password)), 429));
}

TEST_F(Abuse, GuessesCountPerClientAddress)
{
    const Account judy = account("judy");
    // Thirty guesses spread over made-up names lock the address, not only those names.
    for (int i = 0; i < 30; ++i)
        EXPECT_TRUE(isErrorReply(
            api->post("/api/auth/login", loginBody("nobody_" + std::to_string(i), "guess")), 401));
    EXPECT_TRUE(isErrorReply(api->post("/api/auth/login", loginBody("judy", judy.password)), 429));
    // Only that address.
    TestApi elsewhere(server->port());
    elsewhere.sourceAddress = "127.0.0.3";
    EXPECT_EQ(elsewhere.post("/api/auth/login", loginBody("judy", judy.password)).status, 200);
}

TEST_F(Abuse, GuessesFromOneAddressDoNotLockTheOwnerOut)
{
    const Account kim = account("kim");
    TestApi guesser(server->port()), owner(server->port());
    guesser.sourceAddress = "127.0.0.2";
    owner.sourceAddress = "127.0.0.3";
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(isErrorReply(guesser.post("/api/auth/login", loginBody("kim", "guess")), 401));
    const Reply held = guesser.post("/api/auth/login", loginBody("kim", kim.password));
    EXPECT_TRUE(isErrorReply(held, 429));
    EXPECT_EQ(held.body["error"], "登录失败次数过多，请 15 分钟后再试。");
    // The owner, from an address that has not failed, signs in with the right password.
    EXPECT_EQ(owner.post("/api/auth/login", loginBody("kim", kim.password)).status, 200);
    EXPECT_EQ(owner.post("/api/auth/login", loginBody(kim.email, kim.password)).status, 200);
}

TEST_F(Abuse, ManyAddressesTogetherCannotShutTheOwnerOut)
{
    const Account lee = account("lee");
    TestApi home(server->port());
    home.sourceAddress = "127.0.0.9";
    ASSERT_EQ(home.post("/api/auth/login", loginBody("lee", lee.password)).status, 200);
    // Ten addresses, five guesses each: fifty against the one account.
    for (int a = 1; a <= 10; ++a) {
        TestApi guesser(server->port());
        guesser.sourceAddress = "127.0.1." + std::to_string(a);
        for (int i = 0; i < 5; ++i)
            EXPECT_TRUE(
                isErrorReply(guesser.post("/api/auth/login", loginBody("lee", "guess")), 401));
    }
    // Now a new address is held back even with the right password...
    TestApi stranger(server->port());
    stranger.sourceAddress = "127.0.2.1";
    EXPECT_TRUE(
        isErrorReply(stranger.post("/api/auth/login", loginBody("lee", lee.password)), 429));
    // ...but the owner's known address is not, and other accounts are untouched.
    EXPECT_EQ(home.post("/api/auth/login", loginBody("lee", lee.password)).status, 200);
    const Account may = account("may");
    EXPECT_EQ(stranger.post("/api/auth/login", loginBody("may", may.password)).status, 200);
}

TEST_F(Abuse, WithoutATrustedProxyForwardedForIsIgnored)
{
    const Account ned = account("ned");
    TestApi claimsOne(server->port()), claimsAnother(server->port());
    claimsOne.extraHeaders = {{"X-Forwarded-For", "203.0.113.5"}};
    claimsAnother.extraHeaders = {{"X-Forwarded-For", "203.0.113.6"}};
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(
            isErrorReply(claimsOne.post("/api/auth/login", loginBody("ned", "guess")), 401));
    EXPECT_TRUE(
        isErrorReply(claimsAnother.post("/api/auth/login", loginBody("ned", ned.password)), 429));
}

class BehindAProxy : public ServerTest
{
protected:
    std::vector<std::string> serverArgs() const override
    {
        return {"--trusted-proxy", "127.0.0.0/8"};
    }
};

TEST_F(BehindAProxy, LimitsCountTheAddressTheProxyReports)
{
    const Account nia = account("nia");
    TestApi guesser(server->port()), owner(server->port());
    // What the client wrote itself comes first; the proxy appends the address it saw.
    guesser.extraHeaders = {{"X-Forwarded-For", "198.51.100.7, 203.0.113.5"}};
    owner.extraHeaders = {{"X-Forwarded-For", "198.51.100.7, 203.0.113.6"}};
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(isErrorReply(guesser.post("/api/auth/login", loginBody("nia", "guess")), 401));
    EXPECT_TRUE(isErrorReply(guesser.post("/api/auth/login", loginBody("nia", nia.password)), 429));
    EXPECT_EQ(owner.post("/api/auth/login", loginBody("nia", nia.password)).status, 200);
    EXPECT_EQ(api->post("/api/auth/login", loginBody("nia", nia.password)).status, 200);
    EXPECT_TRUE(server->waitForStderr(" 203.0.113.5 POST /api/auth/login 429"));
}

TEST_F(Abuse, SignupsWithTakenAddressesCountAgainstTheLimit)
{
    account("taken");
    // Answers about taken addresses are sign-up attempts like any other: twenty from one
    // address, then the limit, whatever the attempt is.
    for (int i = 0; i < 19; ++i)
        EXPECT_TRUE(isErrorReply(
            api->post("/api/auth/register", {{"username", "other_" + std::to_string(i)},
                                             {"email", "taken@example.org"},
                                             {"password", "a long enough password"}}),
            409))
            << i;
    const Reply limited = api->post("/api/auth/register", {{"username", "other_last"},
                                                           {"email", "taken@example.org"},
                                                           {"password", "a long enough password"}});
    EXPECT_TRUE(isErrorReply(limited, 429));
    EXPECT_EQ(limited.body["error"], "注册请求过于频繁，请稍后再试。");
}

TEST_F(Abuse, WrongCodesAreCountedPerAddressForADay)
{
    const std::string email = "claimed@example.org";
    auto signUp = [&](const std::string& name) {
        return api->post("/api/auth/register",
                         {{"username", name}, {"email", email}, {"password", "long password 1"}});
    };
    auto verify = [&](const std::string& pending, const std::string& code) {
        return api->post("/api/auth/verify", {{"pending_id", pending}, {"code", code}});
    };
    // Two sign-ups for one address, each with its five tries used up...
    for (const char* name : {"first_claim", "second_claim"}) {
        const Reply started = signUp(name);
        ASSERT_EQ(started.status, 200) << started.raw;
        const std::string pending = started.body["pending_id"];
        const std::string code = codeInMail(mailFor(outbox(), pending));
        const std::string wrong = code == "000000" ? "000001" : "000000";
        for (int i = 0; i < 4; ++i)
            EXPECT_TRUE(isErrorReply(verify(pending, wrong), 400)) << name << " " << i;
        EXPECT_TRUE(isErrorReply(verify(pending, wrong), 429)) << name;
    }
    // ...and the address gets no fresh code for a day.
    const Reply third = signUp("third_claim");
    EXPECT_TRUE(isErrorReply(third, 429));
    EXPECT_EQ(third.body["error"], "该邮箱的验证码错误次数过多，请 24 小时后再试。");
    // Other addresses are not affected.
    EXPECT_EQ(api->post("/api/auth/register", {{"username", "fresh_claim"},
                                               {"email", "fresh@example.org"},
                                               {"password", "long password 1"}})
                  .status,
              200);
}

TEST_F(Abuse, SignupsAreLimitedPerAddress)
{
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(
            api->post("/api/auth/register", registerBody("signup_" + std::to_string(i))).status,
            200)
            << i;
    const Reply refused = api->post("/api/auth/register", registerBody("signup_more"));
    EXPECT_TRUE(isErrorReply(refused, 429));
    EXPECT_EQ(refused.body["error"], "注册请求过于频繁，请稍后再试。");
}

class FewSignups : public ServerTest
{
protected:
    std::vector<std::string> serverArgs() const override { return {"--signups-per-hour", "3"}; }
};

TEST_F(FewSignups, SignupsAreLimitedInAll)
{
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(api->post("/api/auth/register", registerBody("few_" + std::to_string(i))).status,
                  200);
    EXPECT_TRUE(isErrorReply(api->post("/api/auth/register", registerBody("few_more")), 429));
    // Signing in is not a sign-up.
    EXPECT_TRUE(isErrorReply(api->post("/api/auth/login", loginBody("few_0", "x")), 401));
}

TEST(Guards, SignupLimitCountsPerAddressAndInAll)
{
    TempDir dir;
    const auto db = openDatabase(dir.path() / "data");
    kestrune::SignupLimit limit(*db, 2, 3, std::chrono::seconds(3600));
    // Another instance's limit on the same database counts together with it.
    kestrune::SignupLimit elsewhere(*db, 2, 3, std::chrono::seconds(3600));
    const std::int64_t t0 = 1'800'000'000'000;
    EXPECT_TRUE(limit.admit("a", t0));
    EXPECT_TRUE(elsewhere.admit("a", t0 + 1000));
    EXPECT_FALSE(limit.admit("a", t0 + 2000)); // two per address
    EXPECT_TRUE(limit.admit("b", t0 + 3000));
    EXPECT_FALSE(elsewhere.admit("c", t0 + 4000)); // three in all
    EXPECT_TRUE(limit.admit("c", t0 + 3'601'000)); // the hour has passed for the first one
}

TEST(Guards, LoginGuardHoldsBackGuessersNotOwners)
{
    TempDir dir;
    const auto db = openDatabase(dir.path() / "data");
    kestrune::LoginGuard guard(*db);
    const std::int64_t t0 = 1'800'000'000'000;
    constexpr std::int64_t s = 1000;
    constexpr std::int64_t min15 = 15 * 60 * s;
    guard.recordSuccess("account:1", "home", t0);
    for (int i = 0; i < 5; ++i)
        guard.recordFailure("account:1", "guesser", t0);
    EXPECT_TRUE(guard.isRefused("account:1", "guesser", t0));
    EXPECT_FALSE(guard.isRefused("account:2", "guesser", t0)); // 5 of the address's 30
    EXPECT_FALSE(guard.isRefused("account:1", "owner", t0));
    EXPECT_FALSE(guard.isRefused("account:1", "guesser", t0 + min15));
    // Fifty from everywhere: strangers are held back, the known address is not.
    for (int i = 0; i < 45; ++i)
        guard.recordFailure("account:1", "bot" + std::to_string(i), t0 + 1 * s);
    EXPECT_TRUE(guard.isRefused("account:1", "stranger", t0 + 2 * s));
    EXPECT_FALSE(guard.isRefused("account:1", "home", t0 + 2 * s));
    EXPECT_FALSE(guard.isRefused("account:1", "stranger", t0 + min15));
}

TEST(Guards, ThrottleForgetsOldestKeysWhenFull)
{
    TempDir dir;
    const auto db = openDatabase(dir.path() / "data");
    kestrune::LoginThrottle throttle(*db, "test", 1, std::chrono::seconds(60), 100);
    const std::int64_t t0 = 1'800'000'000'000;
    for (int i = 0; i < 1000; ++i)
        throttle.recordFailure("key" + std::to_string(i), t0 + i);
    EXPECT_LE(throttle.size(), 100u);
    EXPECT_TRUE(throttle.isLocked("key999", t0 + 1000));
    EXPECT_FALSE(throttle.isLocked("key0", t0 + 1000));
}

TEST(ServerUnits, OutboxKeepsADayAndABoundedNumber)
{
    TempDir dir;
    kestrune::Outbox outbox(dir.path());
    const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(25);
    std::ofstream(dir.path() / "old.eml") << "yesterday";
    std::filesystem::last_write_time(dir.path() / "old.eml", old);
    for (std::size_t i = 0; i < kestrune::Outbox::maxMails + 5; ++i)
        std::ofstream(dir.path() / ("m" + std::to_string(i) + ".eml")) << "mail";
    std::ofstream(dir.path() / "notes.txt") << "not a mail";

    const auto sent = outbox.write("new@example.org", "123456", "p1");
    std::size_t mails = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        mails += entry.path().extension() == ".eml";
    EXPECT_EQ(mails, kestrune::Outbox::maxMails);
    EXPECT_TRUE(std::filesystem::exists(sent));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "old.eml"));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "notes.txt"));
}
