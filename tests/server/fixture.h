#pragma once

#include "serverprocess.h"
#include "testclient.h"

#include <gtest/gtest.h>

#include <memory>

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
