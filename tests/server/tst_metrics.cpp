// The operators' metrics on their own listener: requests by route pattern and status, replies
// and points, the database, read back as Prometheus reads them.
#include "fixture.h"

#include <chrono>
#include <string>
#include <thread>

class Metrics : public ServerTest
{
protected:
    std::vector<std::string> serverArgs() const override
    {
        return {"--metrics-listen", "127.0.0.1:" + std::to_string(metricsPort)};
    }

    int metricsPort = unusedPort();
};

TEST_F(Metrics, CountRequestsByRouteRepliesAndPoints)
{
    EXPECT_TRUE(
        server->waitForStdout("metrics on http://127.0.0.1:" + std::to_string(metricsPort)));
    api->token = account("mona").token;
    const std::string id = newConversation(*api);
    const StreamResult reply = api->stream({{"prompt", "数一数"}, {"conversation_id", id}});
    ASSERT_EQ(reply.last()->name, "done");
    EXPECT_EQ(api->get("/api/conversations/" + id).status, 200);
    EXPECT_EQ(api->get("/no/such/route").status, 404);
    EXPECT_EQ(api->get("/api/conversations/" + id + "x").status, 404);

    // A request is counted once its answer has gone out, so the last one may reach the
    // metrics just after its client has the answer.
    const std::string lastSample =
        R"(kestrune_http_requests_total{route="/api/conversations/{id}",status="404"})";
    std::string text = scrapeMetrics(metricsPort);
    for (int i = 0; i < 50 && metricSample(text, lastSample) < 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        text = scrapeMetrics(metricsPort);
    }
    EXPECT_EQ(
        metricSample(text, R"(kestrune_http_requests_total{route="/api/auth/login",status="200"})"),
        1)
        << text;
    EXPECT_EQ(metricSample(
                  text, R"(kestrune_http_requests_total{route="/api/chat/stream",status="200"})"),
              1);
    // One pattern for every conversation id, the found and the unknown alike.
    EXPECT_EQ(
        metricSample(
            text, R"(kestrune_http_requests_total{route="/api/conversations/{id}",status="200"})"),
        1);
    EXPECT_EQ(
        metricSample(
            text, R"(kestrune_http_requests_total{route="/api/conversations/{id}",status="404"})"),
        1);
    EXPECT_EQ(metricSample(text, R"(kestrune_http_requests_total{route="unmatched",status="404"})"),
              1);
    EXPECT_EQ(
        metricSample(text,
                     R"(kestrune_http_request_duration_seconds_count{route="/api/chat/stream"})"),
        1);
    EXPECT_EQ(metricSample(text, "kestrune_points_charged_total"),
              reply.last()->data["charged"].get<double>());
    EXPECT_EQ(metricSample(text, "kestrune_open_reply_streams"), 0);
    EXPECT_GT(metricSample(text, "kestrune_database_statement_seconds_count"), 0);
    EXPECT_GT(metricSample(text, "kestrune_database_lock_wait_seconds_count"), 0);
    EXPECT_GT(metricSample(text, "kestrune_blocking_queue_wait_seconds_count"), 0);
    // The client's requests never reach the metrics, nor the metrics the client's listener.
    EXPECT_EQ(api->get("/metrics").status, 404);
}

TEST(ServerCommandLine, MetricsListenerMustBeAnAddress)
{
    TempDir dir;
    const std::string data = (dir.path() / "data").string();
    const CommandResult result =
        runServerCommand({"--data", data, "--listen", "127.0.0.1:0", "--stop-when-missing",
                          data + "/never", "--metrics-listen", "everywhere"});
    EXPECT_EQ(result.exitCode, 2) << result.out;
    EXPECT_NE(result.out.find("--metrics-listen expects HOST:PORT"), std::string::npos);
}
