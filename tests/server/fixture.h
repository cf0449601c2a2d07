#pragma once

#include "serverprocess.h"
#include "testclient.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

// Starts a fresh server with its own data folder for every test.
class ServerTest : public ::testing::Test
{
protected:
    virtual std::vector<std::string> serverArgs() const { return {}; }

    void SetUp() override { start(); }

    void start()
    {
        server = std::make_unique<ServerProcess>(dataDir(), serverArgs());
        api = std::make_unique<TestApi>(server->port());
    }

    std::filesystem::path dataDir() const { return dir.path() / "data"; }
    std::filesystem::path outbox() const { return dataDir() / "outbox"; }

    Account account(const std::string& name) { return createAccount(*api, outbox(), name); }

    TestApi as(const Account& a) const
    {
        TestApi t(server->port());
        t.token = a.token;
        return t;
    }

    TempDir dir;
    std::unique_ptr<ServerProcess> server;
    std::unique_ptr<TestApi> api;
};

// Creates a cloud conversation and returns its id.
inline std::string newConversation(const TestApi& api, const std::string& model = "kestrune-echo")
{
    return api.post("/api/conversations", {{"model", model}}).body["conversation"]["id"];
}

// Unicode code points of UTF-8 text, counted independently of the service's own function.
inline std::size_t codePoints(const std::string& s)
{
    std::size_t n = 0;
    for (unsigned char c : s)
        n += (c & 0xC0) != 0x80;
    return n;
}

// What a reply of that text costs: code points × pointsPer100 / 100, rounded up.
inline std::int64_t expectedCharge(const std::string& content, int pointsPer100)
{
    return (static_cast<std::int64_t>(codePoints(content)) * pointsPer100 + 99) / 100;
}

// Every error reply carries a non-empty "error" text.
inline ::testing::AssertionResult isErrorReply(const Reply& r, int status)
{
    if (r.status != status)
        return ::testing::AssertionFailure()
               << "status " << r.status << " (want " << status << "): " << r.raw;
    if (!r.body.is_object() || !r.body.contains("error") || !r.body["error"].is_string() ||
        r.body["error"].get<std::string>().empty())
        return ::testing::AssertionFailure() << "no error text: " << r.raw;
    return ::testing::AssertionSuccess();
}
