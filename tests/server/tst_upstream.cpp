#include "fixture.h"

#include <httplib.h>

#include <future>
#include <mutex>
#include <thread>

namespace
{

// A tiny OpenAI-compatible server: two models, one that streams a fixed reply in chunks and
// one that always fails.
class FakeUpstream
{
public:
    FakeUpstream()
    {
        server.Get("/v1/models", [this](const httplib::Request& req, httplib::Response& res) {
            record(req);
            res.set_content(R"({"object":"list","data":[{"id":"tiny-model"},{"id":"broken-model"},)"
                            R"({"id":"kestrune-echo"},{"id":"cut-model"},{"id":"flood-model"}]})",
                            "application/json");
        });
        server.Post("/v1/chat/completions", [this](const httplib::Request& req,
                                                   httplib::Response& res) {
            record(req);
            const json body = json::parse(req.body);
            {
                std::lock_guard guard(mutex);
                requests.push_back(body);
            }
            if (body["model"] == "broken-model") {
                res.status = 500;
                res.set_content(R"({"error":{"message":"model crashed"}})", "application/json");
                return;
            }
            if (body["model"] == "cut-model") {
                // Two fragments, then the connection breaks without an end.
                res.set_chunked_content_provider(
                    "text/event-stream", [](std::size_t, httplib::DataSink& sink) {
                        const std::string part =
                            "data: {\"choices\":[{\"delta\":{\"content\":\"半句\"}}]}\n\n";
                        sink.write(part.data(), part.size());
                        sink.write(part.data(), part.size());
                        return false;
                    });
                return;
            }
            if (body["model"] == "flood-model") {
                // One event that never ends.
                res.set_chunked_content_provider(
                    "text/event-stream", [](std::size_t offset, httplib::DataSink& sink) {
                        const std::string part = offset == 0 ? "data: {\"choices\":[{\"delta\":{"
                                                             : std::string(64 * 1024, 'x');
                        return offset < 4 * 1024 * 1024 && sink.write(part.data(), part.size());
                    });
                return;
            }
            res.set_chunked_content_provider("text/event-stream", [](std::size_t,
                                                                     httplib::DataSink& sink) {
                // Chunks split inside an event and with CRLF line ends, as real servers do.
                const std::string parts[] = {
                    "data: {\"choices\":[{\"delta\":{\"role\":\"assistant\"}}]}\n\n",
                    "data: {\"choices\":[{\"delta\":{\"content\":\"Hel\"}}]}\r\n\r\ndata: {\"choi",
                    "ces\":[{\"delta\":{\"content\":\"lo \"}}]}\n\n",
                    "data: "
                    "{\"choices\":[{\"delta\":{\"content\":\"世界\"},\"finish_reason\":null}]}\n\n",
                    "data: {\"choices\":[{\"delta\":{},\"finish_reason\":\"stop\"}]}\n\ndata: "
                    "[DONE]\n\n",
                };
                for (const auto& p : parts)
                    sink.write(p.data(), p.size());
                sink.done();
                return true;
            });
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~FakeUpstream()
    {
        server.stop();
        thread.join();
    }

    std::vector<json> chatRequests()
    {
        std::lock_guard guard(mutex);
        return requests;
    }
    std::vector<std::string> authHeaders()
    {
        std::lock_guard guard(mutex);
        return auths;
    }
    std::vector<std::string> hostHeaders()
    {
        std::lock_guard guard(mutex);
        return hosts;
    }

    int port = 0;

private:
    void record(const httplib::Request& req)
    {
        std::lock_guard guard(mutex);
        auths.push_back(req.get_header_value("Authorization"));
        hosts.push_back(req.get_header_value("Host"));
    }

    httplib::Server server;
    std::thread thread;
    std::mutex mutex;
    std::vector<json> requests;
    std::vector<std::string> auths;
    std::vector<std::string> hosts;
};

} // namespace

class Upstream : public ServerTest
{
protected:
    void SetUp() override
    {
        upstream = std::make_unique<FakeUpstream>();
        start();
        // The model list is fetched in the background once the service listens.
        ASSERT_TRUE(server->waitForStderr("upstream: 5 models")) << server->stderrText();
    }
    std::vector<std::string> serverArgs() const override
    {
        return {"--upstream",        "http://127.0.0.1:" + std::to_string(upstream->port) + "/v1",
                "--upstream-key",    "sekrit",
                "--upstream-points", "50",
                "--metrics-listen",  "127.0.0.1:" + std::to_string(metricsPort)};
    }
    std::unique_ptr<FakeUpstream> upstream;
    int metricsPort = unusedPort();
};

TEST_F(Upstream, ModelsAreAddedAndRepliesStreamThrough)
{
    api->token = account("xavier").token;
    const json models = api->get("/api/models").body["models"];
    ASSERT_EQ(models.size(), 6u); // two built-in, four upstream; the clashing id is not doubled
    EXPECT_EQ(models[2],
              json({{"id", "tiny-model"}, {"display_name", "tiny-model"}, {"points_per_100", 50}}));
    EXPECT_EQ(models[3]["id"], "broken-model");

    const std::string id = newConversation(*api, "tiny-model");
    StreamResult s = api->stream({{"prompt", "你好"}, {"conversation_id", id}});
    ASSERT_TRUE(s.last()) << s.status << s.raw << server->stderrText();
    ASSERT_EQ(s.last()->name, "done") << s.raw;
    std::vector<std::string> deltas;
    for (const auto& e : s.events)
        if (e.name == "delta")
            deltas.push_back(e.data["text"]);
    EXPECT_EQ(deltas, (std::vector<std::string>{"Hel", "lo ", "世界"}));
    EXPECT_EQ(s.last()->data["content"], "Hello 世界");
    EXPECT_EQ(s.last()->data["charged"], 4); // ceil(8 × 50 / 100)

    // The second turn carries the stored history to the upstream, then the new prompt.
    s = api->stream({{"prompt", "再说一次"}, {"conversation_id", id}});
    ASSERT_EQ(s.last()->name, "done");
    const auto requests = upstream->chatRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1]["stream"], true);
    EXPECT_EQ(requests[1]["model"], "tiny-model");
    EXPECT_EQ(
        requests[1]["messages"],
        json::parse(
            R"([{"role":"user","content":"你好"},{"role":"assistant","content":"Hello 世界"},)"
            R"({"role":"user","content":"再说一次"}])"));
    EXPECT_EQ(metricSample(scrapeMetrics(metricsPort),
                           R"(kestrune_upstream_requests_total{outcome="ok"})"),
              2);
    for (const auto& auth : upstream->authHeaders())
        EXPECT_EQ(auth, "Bearer sekrit");
    // The Host header names the port, as a virtual host or a proxy in front of a model needs.
    for (const auto& host : upstream->hostHeaders())
        EXPECT_EQ(host, "127.0.0.1:" + std::to_string(upstream->port));

    // Private mode sends the given history instead.
    s = api->stream({{"prompt", "p"},
                     {"mode", "private"},
                     {"model", "tiny-model"},
                     {"history", json::parse(R"([{"role":"user","content":"h"}])")}});
    ASSERT_EQ(s.last()->name, "done");
    EXPECT_EQ(upstream->chatRequests().back()["messages"].size(), 2u);
}

TEST_F(Upstream, FailingUpstreamGivesErrorEventAndChargesNothing)
{
    api->token = account("yvonne").token;
    const std::string id = newConversation(*api, "broken-model");
    const StreamResult s = api->stream({{"prompt", "hi"}, {"conversation_id", id}});
    ASSERT_TRUE(s.last());
    EXPECT_EQ(s.last()->name, "error");
    EXPECT_FALSE(s.last()->data["error"].get<std::string>().empty());
    EXPECT_EQ(api->get("/api/conversations/" + id).body["messages"], json::array());
    EXPECT_EQ(api->get("/api/me").body["user"]["points"], 1000);

    // A stream broken off, and an event without end: errors, nothing charged or kept.
    for (const char* model : {"cut-model", "flood-model"}) {
        const std::string broken = newConversation(*api, model);
        const StreamResult cut = api->stream({{"prompt", "hi"}, {"conversation_id", broken}});
        ASSERT_TRUE(cut.last()) << model;
        EXPECT_EQ(cut.last()->name, "error") << model << cut.raw;
        EXPECT_EQ(api->get("/api/conversations/" + broken).body["messages"], json::array());
        EXPECT_EQ(api->get("/api/me").body["user"]["points"], 1000) << model;
    }
    const StreamResult flooded = api->stream(privateTurn("hi", "flood-model"));
    EXPECT_EQ(flooded.last()->data["error"], "上游模型服务返回的数据过大。");
    const std::string metrics = scrapeMetrics(metricsPort);
    EXPECT_EQ(metricSample(metrics, R"(kestrune_upstream_requests_total{outcome="error"})"), 4);
    EXPECT_EQ(metricSample(metrics, "kestrune_upstream_duration_seconds_count"), 4);

    // With the upstream gone, the built-in models keep working.
    upstream.reset();
    const std::string local = newConversation(*api);
    EXPECT_EQ(api->stream({{"prompt", "hi"}, {"conversation_id", local}}).last()->name, "done");
}

class UpstreamPoints : public Upstream
{
protected:
    std::vector<std::string> serverArgs() const override
    {
        // A point per character: 20 points pay for two and a half of the 8-character replies.
        return {"--upstream",
                "http://127.0.0.1:" + std::to_string(upstream->port),
                "--upstream-points",
                "100",
                "--initial-points",
                "20",
                "--max-streams-per-account",
                "100",
                "--max-connections-per-address",
                "200"};
    }
};

TEST_F(UpstreamPoints, ParallelUpstreamRepliesNeverDeliverMoreThanPaid)
{
    const TestApi userApi = as(account("relay"));
    std::vector<std::future<StreamResult>> streams;
    for (int i = 0; i < 10; ++i)
        streams.push_back(std::async(std::launch::async, [userApi] {
            return userApi.stream({{"prompt", "hi"},
                                   {"mode", "private"},
                                   {"model", "tiny-model"},
                                   {"history", json::array()}});
        }));
    std::int64_t delivered = 0;
    std::int64_t charged = 0;
    for (auto& future : streams) {
        const StreamResult s = future.get();
        std::size_t characters = 0;
        for (unsigned char c : s.deltaText())
            characters += (c & 0xC0) != 0x80;
        delivered += static_cast<std::int64_t>(characters);
        if (s.last() && s.last()->name == "done")
            charged += s.last()->data["charged"].get<std::int64_t>();
    }
    const auto balance = userApi.get("/api/me").body["user"]["points"].get<std::int64_t>();
    EXPECT_LE(delivered, 20);
    EXPECT_EQ(delivered, charged);
    EXPECT_EQ(20 - balance, charged);
}
