#include "charging.h"
#include "clientaddress.h"
#include "connections.h"
#include "database.h"
#include "loginthrottle.h"
#include "options.h"
#include "outbox.h"
#include "postgresengine.h"
#include "replyhold.h"
#include "serverprocess.h"
#include "streaming.h"
#include "testclient.h"
#include "text.h"
#include "upstream.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>

using namespace kestrune;

TEST(ServerUnits, ChargingRoundsUpPerHundredCharacters)
{
    EXPECT_EQ(chargeFor(0, 2), 0);
    EXPECT_EQ(chargeFor(1, 1), 1);
    EXPECT_EQ(chargeFor(100, 1), 1);
    EXPECT_EQ(chargeFor(101, 1), 2);
    EXPECT_EQ(chargeFor(50, 2), 1);
    EXPECT_EQ(chargeFor(51, 2), 2);
    EXPECT_EQ(chargeFor(8, 50), 4);
    EXPECT_EQ(chargeFor(1000, 0), 0);

    EXPECT_EQ(affordableCharacters(0, 1), 0u);
    EXPECT_EQ(affordableCharacters(3, 1), 300u);
    EXPECT_EQ(affordableCharacters(3, 2), 150u);
    EXPECT_EQ(affordableCharacters(1, 300), 0u); // a single character would cost 3
    // Whatever is affordable is never charged above the balance, up to the largest balance.
    for (std::int64_t balance :
         {std::int64_t{1}, std::int64_t{7}, std::int64_t{99}, std::int64_t{1000}, maxPoints})
        for (int price : {1, 2, 3, 7, 50, 150, 100000})
            EXPECT_LE(chargeFor(affordableCharacters(balance, price), price), balance);
    // Products past 64 bits: no wrap into a small or negative number.
    EXPECT_EQ(chargeFor(std::numeric_limits<std::size_t>::max(), 100000),
              std::numeric_limits<std::int64_t>::max());
    EXPECT_GT(affordableCharacters(std::numeric_limits<std::int64_t>::max(), 1), 0u);
}

TEST(ServerUnits, BudgetCutsAtCodePointBoundaries)
{
    EXPECT_EQ(firstCodePoints("不觉晓🌸啊", 3), "不觉晓");
    EXPECT_EQ(firstCodePoints("不觉晓🌸啊", 4), "不觉晓🌸");
    EXPECT_EQ(firstCodePoints("x", 0), "");

    EXPECT_EQ(codePointCount("a春🌸"), 3u);
    EXPECT_EQ(firstCodePoints("a春🌸b", 3), "a春🌸");
    EXPECT_EQ(firstCodePoints("ab", 10), "ab");
}

TEST(ServerUnits, StreamPiecesAreSmallAndLossless)
{
    const std::string text =
        "# 标题\n\n这是一段很长的中文内容，没有空格也要切开。Then some English words "
        "follow here 🌸🌸🌸🌸🌸🌸🌸🌸🌸 end";
    std::string joined;
    for (const auto& piece : streamPieces(text)) {
        EXPECT_GE(codePointCount(piece), 1u);
        EXPECT_LE(codePointCount(piece), 8u);
        // Every piece is valid UTF-8 on its own: the JSON encoder accepts it unchanged.
        EXPECT_EQ(json(piece).dump(), json::parse(json(piece).dump()).dump());
        joined += piece;
    }
    EXPECT_EQ(joined, text);
    EXPECT_TRUE(streamPieces("").empty());
}

TEST(ServerUnits, TextRules)
{
    EXPECT_EQ(trimmed("\u3000 你好 \t\n"), "你好");
    EXPECT_EQ(trimmed(" \u00a0 "), "");
    EXPECT_EQ(normalizedTitle("  a\n\n b\tc  ", 80), "a b c");
    EXPECT_EQ(normalizedTitle("abcdef", 3), "abc");
    EXPECT_EQ(titleFromPrompt(std::string(40, 'x')), std::string(30, 'x') + "…");
    EXPECT_EQ(titleFromPrompt(" \n "), "新对话");
    // Bidirectional overrides and invisible characters cannot disguise a title; the joiners
    // of emoji sequences stay.
    EXPECT_EQ(normalizedTitle("invoice\u202Egnp.exe", 80), "invoicegnp.exe");
    EXPECT_EQ(normalizedTitle("a\u200Bb\u2066c\u2069\u00ADd\u200Fe", 80), "abcde");
    EXPECT_EQ(normalizedTitle("\u200B\u202E", 80), "");
    EXPECT_EQ(normalizedTitle("👩\u200D💻", 80), "👩\u200D💻");
    EXPECT_EQ(titleFromPrompt("\u202E\u202E"), "新对话");

    for (const char* ok : {"abc", "A_b_9", "abcdefghijabcdefghijabcdefghij12"})
        EXPECT_TRUE(isValidUsername(ok)) << ok;
    for (const char* bad : {"ab", "a b", "a-b", "abcdefghijabcdefghijabcdefghij123", "名字名"})
        EXPECT_FALSE(isValidUsername(bad)) << bad;
    for (const char* ok : {"a@example.org", "first.last+tag@mail.example.co"})
        EXPECT_TRUE(isPlausibleEmail(ok)) << ok;
    for (const char* bad : {"a@b", "@example.org", "a@@example.org", "a b@example.org",
                            "a@example..org", "a@-example.org", ".a@example.org", "a@example.org>",
                            "a@1.2", "a@example.org\r\nBcc: x@y.org"})
        EXPECT_FALSE(isPlausibleEmail(bad)) << bad;
    EXPECT_TRUE(isSixDigitCode("012345"));
    EXPECT_FALSE(isSixDigitCode("12345a"));
    EXPECT_FALSE(isSixDigitCode("1234567"));
    EXPECT_EQ(printable("/a\nb"), "/a\\x0ab");
}

TEST(ServerUnits, ListenAddresses)
{
    const auto v4 = parseListen("127.0.0.1:0");
    ASSERT_TRUE(v4);
    EXPECT_EQ(v4->host, "127.0.0.1");
    EXPECT_EQ(v4->port, 0);
    const auto v6 = parseListen("[::1]:8787");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->host, "::1");
    for (const char* bad : {"", "8787", "host:", ":80", "host:70000", "host:-1", "::1:80", "h:8x"})
        EXPECT_FALSE(parseListen(bad)) << bad;

    // Connections by default: half the open files beyond a reserve, within bounds.
    EXPECT_EQ(defaultMaxConnections(1024), 448);
    EXPECT_EQ(defaultMaxConnections(65536), 32704);
    EXPECT_EQ(defaultMaxConnections(std::uint64_t{1} << 40), 65536);
    EXPECT_EQ(defaultMaxConnections(100), 16);
}

TEST(ServerUnits, UpstreamUrlsAndEvents)
{
    auto t = parseUpstreamUrl("http://127.0.0.1:8080/v1/");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->origin, "http://127.0.0.1:8080");
    EXPECT_EQ(t->prefix, "");
    t = parseUpstreamUrl("https://models.example.org/openai/v1");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->prefix, "/openai");
    EXPECT_FALSE(parseUpstreamUrl("ftp://x"));
    EXPECT_FALSE(parseUpstreamUrl("127.0.0.1:8080"));

    const auto origin = endpointOf("http://127.0.0.1:8080");
    ASSERT_TRUE(origin);
    EXPECT_EQ(hostHeader(*origin), "127.0.0.1:8080");
    EXPECT_EQ(hostHeader(*endpointOf("https://[::1]:8443")), "[::1]:8443");
    EXPECT_EQ(hostHeader(*endpointOf("https://models.example.org")), "models.example.org");
    EXPECT_EQ(hostHeader(*endpointOf("http://[fd00::5]")), "[fd00::5]");

    // The same bytes give the same events however they are split.
    const std::string stream =
        "data: {\"a\":1}\r\n\r\n: comment\n\ndata: one\ndata: two\n\ndata: [DONE]\n\n";
    for (std::size_t split = 0; split <= stream.size(); ++split) {
        UpstreamEventParser parser;
        std::vector<std::string> got;
        auto collect = [&](std::string_view d) { got.emplace_back(d); };
        parser.feed(std::string_view(stream).substr(0, split), collect);
        parser.feed(std::string_view(stream).substr(split), collect);
        EXPECT_EQ(got, (std::vector<std::string>{"{\"a\":1}", "one\ntwo", "[DONE]"})) << split;
    }
    // Byte by byte, each byte looked at a bounded number of times; an event past the limit is
    // refused.
    UpstreamEventParser parser;
    std::size_t events = 0;
    for (int i = 0; i < 20000; ++i)
        for (char c : std::string("data: x\n\n"))
            EXPECT_TRUE(parser.feed(std::string_view(&c, 1), [&](std::string_view) { ++events; }));
    EXPECT_EQ(events, 20000u);
    UpstreamEventParser flooded;
    const std::string piece(64 * 1024, 'x');
    bool sane = flooded.feed("data: ", [](std::string_view) {});
    for (int i = 0; i < 5 && sane; ++i)
        sane = flooded.feed(piece, [](std::string_view) {});
    EXPECT_FALSE(sane);

    EXPECT_EQ(interpretUpstreamData(R"({"choices":[{"delta":{"content":"hi"}}]})").text, "hi");
    EXPECT_TRUE(interpretUpstreamData("[DONE]").done);
    EXPECT_TRUE(interpretUpstreamData(R"({"error":{"message":"x"}})").error);
    EXPECT_TRUE(interpretUpstreamData("not json").error);
    EXPECT_EQ(interpretUpstreamData(R"({"choices":[{"delta":{"content":null}}]})").text, "");
}

TEST(ServerUnits, VerificationMailCarriesOnlyTheCode)
{
    // Digits in the address, the id and the date stay in the headers.
    for (const char* code : {"000000", "123456", "999999"}) {
        const std::string mail =
            verificationMail("user123456@example.org", code, "abc123456789", 1767225600);
        EXPECT_EQ(codeInMail(mail), code);
        EXPECT_NE(mail.find("Date: Thu, 01 Jan 2026 00:00:00 +0000\r\n"), std::string::npos)
            << mail;
    }
}

TEST(Guards, ThrottleLocksForAWindow)
{
    TempDir dir;
    const auto db = openDatabase(dir.path() / "data");
    LoginThrottle throttle(*db, "test", 3, std::chrono::seconds(60));
    const std::int64_t t0 = 1'800'000'000'000;
    for (int i = 0; i < 2; ++i)
        throttle.recordFailure("eve", t0);
    EXPECT_FALSE(throttle.isLocked("eve", t0));
    throttle.recordFailure("eve", t0 + 10'000);
    EXPECT_TRUE(throttle.isLocked("eve", t0 + 59'000));
    EXPECT_FALSE(throttle.isLocked("other", t0));
    EXPECT_FALSE(throttle.isLocked("eve", t0 + 60'000));
    // After the window, counting starts over.
    throttle.recordFailure("eve", t0 + 61'000);
    EXPECT_FALSE(throttle.isLocked("eve", t0 + 61'000));
    // Another throttle on the same table counts apart; a second one of the same kind (another
    // instance) counts together.
    LoginThrottle other(*db, "other", 1, std::chrono::seconds(60));
    EXPECT_FALSE(other.isLocked("eve", t0 + 61'000));
    LoginThrottle sameKind(*db, "test", 3, std::chrono::seconds(60));
    sameKind.recordFailure("eve", t0 + 62'000);
    throttle.recordFailure("eve", t0 + 63'000);
    EXPECT_TRUE(sameKind.isLocked("eve", t0 + 63'000));
    throttle.reset("eve");
    EXPECT_FALSE(sameKind.isLocked("eve", t0 + 63'000));
}

TEST(Guards, AHoldOutlivesItsLeaseOnlyWhileRenewedInTime)
{
    TempDir dir;
    const auto db = openDatabase(dir.path() / "data");
    sql(dir.path() / "data", "INSERT INTO users (public_id, username, email, password_hash, "
                             "points, created_ms) VALUES ('p1', 'holder', 'holder@example.org', "
                             "'-', 100, 0)");
    const std::int64_t user = std::stoll(sqlText(dir.path() / "data", "SELECT id FROM users"));
    ReplyHolds holds(*db, std::chrono::seconds(30));
    const std::int64_t t0 = 1'800'000'000'000;

    const auto a = holds.open(user, 4, 10, t0);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->points, 10);
    EXPECT_EQ(holds.leasedUntil(a->openedMs), t0 + 30'000);
    // Renewed each time within the lease, it lives on past its first one.
    holds.renew(t0 + 10'000);
    holds.renew(t0 + 35'000);
    EXPECT_EQ(holds.leasedUntil(a->openedMs), t0 + 65'000);
    EXPECT_EQ(holds.reserve(a->id, user, 5, t0 + 60'000), 5);

    // The database out of reach from 35 s to 80 s: the hold's lease ran out at 65 s, and a
    // renewal that comes late does not bring it back. A hold opened meanwhile is renewed.
    const auto b = holds.open(user, 4, 10, t0 + 70'000);
    ASSERT_TRUE(b);
    holds.renew(t0 + 80'000);
    EXPECT_LE(holds.leasedUntil(a->openedMs), t0 + 65'000);
    EXPECT_EQ(holds.leasedUntil(b->openedMs), t0 + 110'000);
    EXPECT_EQ(holds.reserve(a->id, user, 5, t0 + 81'000), 0);
    // Its 15 points are the balance's again; only b's 10 are held.
    const auto c = holds.open(user, 4, 1000, t0 + 81'000);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->points, 90);

    // A reply pays for nothing more once its hold's lease is gone, free or not.
    sql(dir.path() / "data", "UPDATE users SET points = 200");
    ReplyHolds instance(*db, std::chrono::seconds(30));
    const std::int64_t before = nowMs() - 31'000;
    asio::thread_pool closing(1);
    {
        const ReplyHold live(instance, closing, *instance.open(user, 10, 5), user, 1);
        const ReplyHold lapsed(instance, closing, *instance.open(user, 10, 5, before), user, 1);
        const ReplyHold liveFree(instance, closing, *instance.open(user, 10, 0), user, 0);
        const ReplyHold lapsedFree(instance, closing, *instance.open(user, 10, 0, before), user, 0);
        EXPECT_EQ(live.room(0), 500u);
        EXPECT_EQ(lapsed.room(0), 0u);
        EXPECT_EQ(liveFree.room(0), std::numeric_limits<std::size_t>::max());
        EXPECT_EQ(lapsedFree.room(0), 0u);
    }
    closing.join();
}

TEST(ServerUnits, TrustedProxiesNameTheClient)
{
    std::string error;
    const auto proxies = TrustedProxies::parse({"10.0.0.0/8", "::1", "fd00::/8"}, error);
    ASSERT_TRUE(proxies) << error;
    EXPECT_TRUE(proxies->contains("10.1.2.3"));
    EXPECT_TRUE(proxies->contains("::ffff:10.1.2.3"));
    EXPECT_FALSE(proxies->contains("11.0.0.1"));
    EXPECT_TRUE(proxies->contains("fd12::1"));
    EXPECT_FALSE(proxies->contains("::2"));

    // The last hop that is not a trusted proxy; anything the client wrote before it is ignored.
    EXPECT_EQ(proxies->clientAddress("10.0.0.1", "203.0.113.5"), "203.0.113.5");
    EXPECT_EQ(proxies->clientAddress("10.0.0.1", "1.1.1.1, 203.0.113.5, 10.0.0.2"), "203.0.113.5");
    EXPECT_EQ(proxies->clientAddress("10.0.0.1", " [2001:db8::7]:443 "), "2001:db8::7");
    EXPECT_EQ(proxies->clientAddress("10.0.0.1", "198.51.100.1:5555"), "198.51.100.1");
    EXPECT_EQ(proxies->clientAddress("10.0.0.1", "unknown, 10.0.0.2"), "10.0.0.2");
    EXPECT_EQ(proxies->clientAddress("10.0.0.1", ""), "10.0.0.1");
    // From anyone else the header means nothing.
    EXPECT_EQ(proxies->clientAddress("192.0.2.9", "203.0.113.5"), "192.0.2.9");
    const auto none = TrustedProxies::parse({}, error);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->clientAddress("10.0.0.1", "203.0.113.5"), "10.0.0.1");

    for (const char* bad : {"10.0.0.0/33", "::/129", "proxy.example.org", "10.0.0.0/", "1.2.3/8"})
        EXPECT_FALSE(TrustedProxies::parse({bad}, error)) << bad;
}

namespace
{

class FakeConnection : public ConnectionHandle
{
public:
    void closeIfIdle() override { ++closeRequests; }
    void shutDown(bool) override {}
    int closeRequests = 0;
};

} // namespace

TEST(ServerUnits, ConnectionRegistryMakesRoomFromTheLongestIdle)
{
    ConnectionRegistry registry(4, 2);
    std::vector<std::shared_ptr<FakeConnection>> handles;
    auto admit = [&](const std::string& address, bool capped = true) {
        handles.push_back(std::make_shared<FakeConnection>());
        return registry.admit(address, capped, handles.back());
    };
    const auto a1 = admit("a"), a2 = admit("a");
    ASSERT_NE(a1.id, 0u);
    ASSERT_NE(a2.id, 0u);
    // The address is full and nothing of it idles: refused, for the address.
    auto refused = admit("a");
    EXPECT_EQ(refused.id, 0u);
    EXPECT_TRUE(refused.addressFull);
    // With one idle, that one makes room.
    registry.setIdle(a2.id, true);
    registry.setIdle(a1.id, true);
    const auto a3 = admit("a");
    ASSERT_NE(a3.id, 0u);
    ASSERT_EQ(a3.toClose.size(), 1u);
    EXPECT_EQ(a3.toClose[0], handles[1]); // a2 idled first
    // Picked to close, it is not picked again, and asked to idle it is told to close.
    EXPECT_FALSE(registry.setIdle(a2.id, true));
    // A trusted proxy has only the cap in all.
    const auto p1 = admit("proxy", false), p2 = admit("proxy", false);
    EXPECT_NE(p1.id, 0u);
    EXPECT_NE(p2.id, 0u);
    EXPECT_EQ(registry.size(), 5u); // a2 still counts until it is gone
    // The server is full (a2 is going): the longest idle anywhere makes room, here a1.
    const auto p3 = admit("proxy", false);
    ASSERT_NE(p3.id, 0u);
    ASSERT_EQ(p3.toClose.size(), 1u);
    EXPECT_EQ(p3.toClose[0], handles[0]);
    registry.remove(a2.id);
    registry.remove(a1.id);
    // Full with nothing idle: refused, for the server.
    refused = admit("b");
    EXPECT_EQ(refused.id, 0u);
    EXPECT_FALSE(refused.addressFull);
    EXPECT_EQ(registry.size(), 4u);
    registry.setIdle(p1.id, true);
    registry.setIdle(p1.id, false); // busy again: not a candidate
    EXPECT_EQ(admit("b").id, 0u);
    EXPECT_EQ(registry.idleCount(), 0u);
}

TEST(ServerUnits, PlaceholdersAreNumberedOutsideQuotesOnly)
{
    EXPECT_EQ(kestrune::numberedPlaceholders("SELECT a FROM t WHERE b = ? AND c IN (?, ?)"),
              "SELECT a FROM t WHERE b = $1 AND c IN ($2, $3)");
    EXPECT_EQ(
        kestrune::numberedPlaceholders("SELECT '?', \"col?\" FROM t WHERE x = ? AND y = 'it''s?'"),
        "SELECT '?', \"col?\" FROM t WHERE x = $1 AND y = 'it''s?'");
    EXPECT_EQ(kestrune::numberedPlaceholders("SELECT 1"), "SELECT 1");
}
