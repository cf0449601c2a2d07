// Starting and stopping whatever the upstream does: a service that listens at once, answers
// with its own models while the upstream says nothing, and stops promptly on SIGTERM in every
// state (under way replies, a hung upstream, a flood of sign-ins).
#include "fixture.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

namespace
{

// A port whose connections the kernel accepts and nobody ever answers.
class SilentListener
{
public:
    SilentListener()
    {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(fd, 64) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot listen");
        port = ntohs(address.sin_port);
    }
    ~SilentListener() { close(fd); }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    int port = 0;

private:
    int fd = -1;
};

// An upstream that lists one model and, asked for a reply, sends one fragment and then waits
// until it is destroyed.
class HangingUpstream
{
public:
    HangingUpstream()
    {
        server.Get("/v1/models", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(R"({"data":[{"id":"slow-model"}]})", "application/json");
        });
        server.Post(
            "/v1/chat/completions", [this](const httplib::Request&, httplib::Response& res) {
                res.set_chunked_content_provider(
                    "text/event-stream", [this](std::size_t offset, httplib::DataSink& sink) {
                        if (offset == 0) {
                            const std::string part =
                                "data: {\"choices\":[{\"delta\":{\"content\":\"开头\"}}]}\n\n";
                            return sink.write(part.data(), part.size());
                        }
                        std::unique_lock lock(mutex);
                        released.wait_for(lock, std::chrono::seconds(60), [this] { return done; });
                        return false;
                    });
            });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~HangingUpstream()
    {
        {
            std::lock_guard lock(mutex);
            done = true;
        }
        released.notify_all();
        server.stop();
        thread.join();
    }

    int port = 0;

private:
    httplib::Server server;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable released;
    bool done = false;
};

// SIGTERM, and the exit status once the service has ended (waiting a few seconds at most).
int terminateAndWait(ServerProcess& server)
{
    server.terminate();
    return server.waitForExit();
}

} // namespace

TEST(ServerShutdown, AnUpstreamThatNeverAnswersHoldsNothingUp)
{
    SilentListener silent;
    TempDir dir;
    // Listening at once (the constructor waits for that line), not after the model list.
    ServerProcess server(dir.path() / "data",
                         {"--upstream", "http://127.0.0.1:" + std::to_string(silent.port)});
    TestApi api(server.port());
    api.token = createAccount(api, dir.path() / "data" / "outbox", "waiting").token;
    // The built-in models are offered meanwhile, and replies work.
    const Reply models = api.get("/api/models");
    ASSERT_EQ(models.status, 200);
    EXPECT_EQ(models.body["models"].size(), 2u);
    EXPECT_EQ(api.stream(privateTurn("hi")).last()->name, "done");
    EXPECT_EQ(terminateAndWait(server), 0) << server.stderrText();
}

TEST(ServerShutdown, RepliesWaitingOnAHungUpstreamAreEndedAndNotCharged)
{
    HangingUpstream upstream;
    TempDir dir;
    const auto data = dir.path() / "data";
    // One second to drain: the replies wait on a model that never goes on.
    auto server = std::make_unique<ServerProcess>(
        data,
        std::vector<std::string>{"--upstream", "http://127.0.0.1:" + std::to_string(upstream.port),
                                 "--drain", "1"});
    ASSERT_TRUE(server->waitForStderr("upstream: 1 models"));
    TestApi api(server->port());
    const Account a = createAccount(api, data / "outbox", "hung");
    api.token = a.token;
    const std::string id = newConversation(api, "slow-model");

    // Two replies under way, each with its first fragment out, the model silent since.
    std::vector<std::unique_ptr<RawConnection>> replies;
    for (int i = 0; i < 2; ++i) {
        replies.push_back(std::make_unique<RawConnection>(server->port()));
        const std::string started = startRawStream(*replies.back(), a.token, "slow-model");
        ASSERT_NE(started.find("开头"), std::string::npos) << started << server->stderrText();
    }
    const std::string body = json({{"prompt", "等"}, {"conversation_id", id}}).dump();
    RawConnection cloud(server->port());
    cloud.send("POST /api/chat/stream HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + a.token +
               "\r\nContent-Type: application/json\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body);
    ASSERT_NE(cloud.receive("开头").find("开头"), std::string::npos);
    RawConnection idle(server->port()); // and one that has not said anything yet

    EXPECT_EQ(terminateAndWait(*server), 0) << server->stderrText();
    // Each reply was told why it ended, in good order.
    const std::string told = cloud.receive();
    EXPECT_NE(told.find("event: error"), std::string::npos) << told;
    EXPECT_NE(told.find("服务正在重启"), std::string::npos) << told;
    EXPECT_NE(told.find("0\r\n\r\n"), std::string::npos) << "the chunked reply is ended";

    // Nothing was charged or kept.
    server = std::make_unique<ServerProcess>(data);
    TestApi again(server->port());
    again.token = a.token;
    EXPECT_EQ(again.get("/api/me").body["user"]["points"], 1000);
    EXPECT_EQ(again.get("/api/conversations/" + id).body["messages"], json::array());
}

TEST(ServerShutdown, StopsPromptlyDuringAFloodOfSignIns)
{
    TempDir dir;
    ServerProcess server(dir.path() / "data", {"--demo"});
    // Password checks queued from many addresses when the signal comes.
    std::vector<std::future<int>> attempts;
    for (int i = 0; i < 40; ++i)
        attempts.push_back(std::async(std::launch::async, [&server, i] {
            TestApi guesser(server.port());
            guesser.sourceAddress = "127.0.3." + std::to_string(i + 1);
            return guesser.post("/api/auth/login", {{"login", "demo"}, {"password", "guess"}})
                .status;
        }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(terminateAndWait(server), 0) << server.stderrText();
    for (auto& attempt : attempts) {
        const int status = attempt.get();
        // Answered before the stop, or the connection closed by it: never anything else.
        EXPECT_TRUE(status == 401 || status == 0) << status;
    }
}

class Draining : public ServerTest
{
protected:
    std::vector<std::string> serverArgs() const override
    {
        return {"--stream-delay-ms", "40", "--drain-notice", "2", "--drain", "20"};
    }
};

TEST_F(Draining, SigtermTurnsTheBalancerAwayThenLetsRepliesUnderWayFinish)
{
    const Account a = account("patient");
    api->token = a.token;
    const std::string id = newConversation(*api, "kestrune-showcase");
    const std::string body = json({{"prompt", "慢慢说完"}, {"conversation_id", id}}).dump();
    std::vector<std::unique_ptr<RawConnection>> replies;
    for (int i = 0; i < 2; ++i) {
        replies.push_back(std::make_unique<RawConnection>(server->port()));
        if (i == 0)
            replies.back()->send("POST /api/chat/stream HTTP/1.1\r\nHost: x\r\nAuthorization: "
                                 "Bearer " +
                                 a.token +
                                 "\r\nContent-Type: application/json\r\nContent-Length: " +
                                 std::to_string(body.size()) + "\r\n\r\n" + body);
        else
            startRawStream(*replies.back(), a.token);
        ASSERT_NE(replies.back()->receive("event: delta").find("event: delta"), std::string::npos);
    }

    server->terminate();
    // First only readiness changes: the balancer moves away while requests are still served.
    bool unready = false;
    for (int i = 0; i < 100 && !unready; ++i) {
        unready = api->get("/readyz").status == 503;
        if (!unready)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(unready);
    EXPECT_EQ(api->get("/readyz").body["status"], "stopping");
    EXPECT_EQ(api->get("/api/me").status, 200);
    EXPECT_EQ(api->get("/healthz").status, 200);
    // Then no new connection is taken...
    bool refused = false;
    for (int i = 0; i < 100 && !refused; ++i) {
        refused = !RawConnection(server->port()).connected();
        if (!refused)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(refused);
    // ...while the replies that had started go on to their end, and are kept.
    for (auto& reply : replies) {
        const std::string rest = reply->receive("event: done", 20000);
        EXPECT_NE(rest.find("event: done"), std::string::npos) << rest;
        EXPECT_EQ(rest.find("服务正在重启"), std::string::npos) << rest;
    }
    EXPECT_EQ(server->waitForExit(), 0) << server->stderrText();

    start();
    api->token = a.token;
    const json messages = api->get("/api/conversations/" + id).body["messages"];
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_NE(messages[1]["content"].get<std::string>().find("以上就是全部展示内容。"),
              std::string::npos);
}
