#include "charging.h"
#include "loginthrottle.h"
#include "options.h"
#include "outbox.h"
#include "streaming.h"
#include "testclient.h"
#include "text.h"
#include "upstream.h"

#include <gtest/gtest.h>

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
    // Whatever is affordable is never charged above the balance.
    for (std::int64_t balance : {1, 7, 99, 1000})
        for (int price : {1, 2, 3, 7, 50, 150})
            EXPECT_LE(chargeFor(affordableCharacters(balance, price), price), balance);
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

TEST(ServerUnits, ThrottleLocksForAWindow)
{
    LoginThrottle throttle(3, std::chrono::seconds(60));
    const auto t0 = LoginThrottle::Clock::time_point{};
    for (int i = 0; i < 2; ++i)
        throttle.recordFailure("eve", t0);
    EXPECT_FALSE(throttle.isLocked("eve", t0));
    throttle.recordFailure("eve", t0 + std::chrono::seconds(10));
    EXPECT_TRUE(throttle.isLocked("eve", t0 + std::chrono::seconds(59)));
    EXPECT_FALSE(throttle.isLocked("other", t0));
    EXPECT_FALSE(throttle.isLocked("eve", t0 + std::chrono::seconds(60)));
    // After the window, counting starts over.
    throttle.recordFailure("eve", t0 + std::chrono::seconds(61));
    EXPECT_FALSE(throttle.isLocked("eve", t0 + std::chrono::seconds(61)));
    throttle.reset("eve");
}
