// What an attacker or a flood meets: guesses counted per account and per address, sign-ups
// limited per address and per hour, an outbox that does not grow without end.
#include "fixture.h"

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

TEST(ServerUnits, SignupLimitCountsPerAddressAndInAll)
{
    using namespace std::chrono_literals;
    kestrune::SignupLimit limit(2, 3, std::chrono::seconds(3600));
    const auto t0 = kestrune::SignupLimit::Clock::time_point{};
    EXPECT_TRUE(limit.admit("a", t0));
    EXPECT_TRUE(limit.admit("a", t0 + 1s));
    EXPECT_FALSE(limit.admit("a", t0 + 2s)); // two per address
    EXPECT_TRUE(limit.admit("b", t0 + 3s));
    EXPECT_FALSE(limit.admit("c", t0 + 4s));   // three in all
    EXPECT_TRUE(limit.admit("c", t0 + 3601s)); // the hour has passed for the first one
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

    const auto sent = outbox.sendVerificationCode("new@example.org", "123456", "p1");
    std::size_t mails = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        mails += entry.path().extension() == ".eml";
    EXPECT_EQ(mails, kestrune::Outbox::maxMails);
    EXPECT_TRUE(std::filesystem::exists(sent));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "old.eml"));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "notes.txt"));
}
