// The HTTP core: the route table's 404 and 405, the limits on heads, bodies and connections,
// slow clients that starve no one, and a port another server holds.
#include "fixture.h"

#include <future>
#include <thread>

namespace
{

std::string statusLine(const std::string& response)
{
    return response.substr(0, response.find("\r\n"));
}

std::string headerOf(const std::string& response, const std::string& name)
{
    const auto head = response.substr(0, response.find("\r\n\r\n"));
    const auto at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos)
        return {};
    const auto start = at + 4 + name.size();
    return head.substr(start, head.find("\r\n", start) - start);
}

} // namespace

using Core = ServerTest;

TEST_F(Core, MethodNotAllowedNamesTheMethodsThePathServes)
{
    const std::vector<std::tuple<std::string, std::string, std::string>> cases{
        {"POST", "/api/me", "GET"},
        {"GET", "/api/auth/login", "POST"},
        {"DELETE", "/api/models", "GET"},
        {"DELETE", "/api/conversations", "GET, POST"},
        {"POST", "/api/conversations/abc", "GET, PATCH, DELETE"},
        {"GET", "/api/chat/stream", "POST"},
    };
    for (const auto& [method, path, allow] : cases) {
        RawConnection raw(server->port());
        raw.send(method + " " + path + " HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n" +
                 "Connection: close\r\n\r\n");
        const std::string response = raw.receive();
        EXPECT_EQ(statusLine(response), "HTTP/1.1 405 Method Not Allowed") << method << path;
        EXPECT_EQ(headerOf(response, "Allow"), allow) << method << " " << path;
        EXPECT_NE(response.find("该接口不支持此请求方法。"), std::string::npos);
    }
    EXPECT_TRUE(isErrorReply(api->get("/api/conversations/a/b"), 404));
}

TEST_F(Core, HealthAndReadinessAnswerWithoutSignIn)
{
    const Reply alive = api->get("/healthz");
    EXPECT_EQ(alive.status, 200) << alive.raw;
    EXPECT_EQ(alive.body["status"], "alive");
    const Reply ready = api->get("/readyz");
    EXPECT_EQ(ready.status, 200) << ready.raw;
    EXPECT_EQ(ready.body["status"], "ready");
    EXPECT_TRUE(isErrorReply(api->post("/readyz", json::object()), 405));
}

TEST_F(Core, OversizedBodiesAreRefusedBeforeTheyAreRead)
{
    // A declared 100 MiB body: refused on its head, while the client has sent 9 bytes.
    RawConnection declared(server->port());
    declared.send("POST /api/auth/login HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                  "Content-Length: 104857600\r\n\r\n{\"login\":");
    const std::string refused = declared.receive("\r\n\r\n");
    EXPECT_EQ(statusLine(refused), "HTTP/1.1 413 Payload Too Large");

    // Chunked, without a declared length: refused once it passes the limit.
    RawConnection chunked(server->port());
    chunked.send("PATCH /api/conversations/x HTTP/1.1\r\nHost: x\r\n"
                 "Transfer-Encoding: chunked\r\n\r\n");
    const std::string piece(64 * 1024, 'a');
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
    std::string response;
    for (int i = 0; i < 48 && response.empty(); ++i) {
        if (!chunked.send(std::string(size) + piece + "\r\n"))
            break;
        response = chunked.receive("\r\n\r\n", 20);
    }
    response += chunked.receive("\r\n\r\n");
    EXPECT_EQ(statusLine(response), "HTTP/1.1 413 Payload Too Large");
    EXPECT_TRUE(chunked.closedByServer());
}

class SlowClients : public ServerTest
{
protected:
    std::vector<std::string> serverArgs() const override
    {
        return {"--max-connections-per-address", "1000"};
    }
};

TEST_F(SlowClients, TricklingHeadsStarveNoOneAndAreCut)
{
    const Account a = account("patient");
    // Many clients send a head one byte at a time.
    std::vector<std::unique_ptr<RawConnection>> slow;
    for (int i = 0; i < 200; ++i) {
        slow.push_back(std::make_unique<RawConnection>(server->port()));
        slow.back()->send("G");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (auto& connection : slow)
        connection->send("E");
    // Everyone else is served meanwhile.
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(as(a).get("/api/me").status, 200);
    // A head that is not whole in a few seconds ends its connection.
    EXPECT_TRUE(slow.front()->closedByServer(15000));
}

class ShortIdle : public ServerTest
{
protected:
    std::vector<std::string> serverArgs() const override { return {"--idle-timeout", "1"}; }
};

TEST_F(ShortIdle, IdleConnectionsAreClosed)
{
    // One that never sends a byte, and one kept alive after an answered request.
    RawConnection silent(server->port());
    RawConnection kept(server->port());
    EXPECT_EQ(rawGet(kept, "/api/models"), "HTTP/1.1 401 Unauthorized");
    EXPECT_TRUE(silent.closedByServer(5000));
    EXPECT_TRUE(kept.closedByServer(5000));
    // A connection that keeps sending requests is not idle.
    RawConnection busy(server->port());
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        EXPECT_EQ(rawGet(busy, "/api/models"), "HTTP/1.1 401 Unauthorized") << i;
    }
}

class FewConnections : public ServerTest
{
protected:
    std::vector<std::string> serverArgs() const override
    {
        return {"--max-connections-per-address", "3", "--stream-delay-ms", "100"};
    }
};

TEST_F(FewConnections, AFullAddressClosesItsLongestIdleConnectionFirst)
{
    std::vector<std::unique_ptr<RawConnection>> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(std::make_unique<RawConnection>(server->port()));
        EXPECT_EQ(rawGet(*held.back(), "/api/models"), "HTTP/1.1 401 Unauthorized");
        // The server counts a connection idle once it has written the reply, which may be
        // after we have read it: a pause keeps the order of idling the order of the requests
        // on a busy machine.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // The fourth is served: the one idle longest makes room, the others stay.
    RawConnection fourth(server->port());
    EXPECT_EQ(rawGet(fourth, "/api/models"), "HTTP/1.1 401 Unauthorized");
    EXPECT_TRUE(held[0]->closedByServer());
    EXPECT_EQ(rawGet(*held[1], "/api/models"), "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(rawGet(*held[2], "/api/models"), "HTTP/1.1 401 Unauthorized");
}

TEST_F(FewConnections, AnAddressWithNoIdleConnectionIsRefused)
{
    const std::string token = account("streamer").token;
    std::vector<std::unique_ptr<RawConnection>> busy;
    for (int i = 0; i < 3; ++i) {
        busy.push_back(std::make_unique<RawConnection>(server->port()));
        ASSERT_NE(startRawStream(*busy.back(), token).find("event: delta"), std::string::npos);
    }
    RawConnection extra(server->port());
    const std::string refused = extra.receive("}");
    EXPECT_EQ(statusLine(refused), "HTTP/1.1 503 Service Unavailable");
    EXPECT_NE(refused.find("同一地址的连接过多，请稍后再试。"), std::string::npos);
    EXPECT_TRUE(extra.closedByServer());
    // Another address is served meanwhile.
    TestApi other(server->port());
    other.sourceAddress = "127.0.0.2";
    EXPECT_TRUE(isErrorReply(other.get("/api/models"), 401));
}

class FullServer : public ServerTest
{
protected:
    std::vector<std::string> serverArgs() const override
    {
        return {"--max-connections", "3", "--stream-delay-ms", "100"};
    }
};

TEST_F(FullServer, ClosesTheLongestIdleConnectionsFirstThenRefuses)
{
    const std::string token = account("crowded").token;
    RawConnection idle(server->port(), "127.0.0.2");
    EXPECT_EQ(rawGet(idle, "/api/models"), "HTTP/1.1 401 Unauthorized");
    std::vector<std::unique_ptr<RawConnection>> busy;
    for (int i = 0; i < 2; ++i) {
        busy.push_back(std::make_unique<RawConnection>(server->port()));
        ASSERT_NE(startRawStream(*busy.back(), token).find("event: delta"), std::string::npos);
    }
    // Full: a newcomer from anywhere takes the idle connection's place...
    busy.push_back(std::make_unique<RawConnection>(server->port(), "127.0.0.3"));
    ASSERT_NE(startRawStream(*busy.back(), token).find("event: delta"), std::string::npos);
    EXPECT_TRUE(idle.closedByServer());
    // ...and with none idle, the next is told so and closed.
    RawConnection refused(server->port(), "127.0.0.4");
    const std::string answer = refused.receive("}");
    EXPECT_EQ(statusLine(answer), "HTTP/1.1 503 Service Unavailable");
    EXPECT_NE(answer.find("服务器连接数已满，请稍后再试。"), std::string::npos);
    EXPECT_TRUE(refused.closedByServer());
}

TEST(ServerCommandLine, BusyPortFailsAtStart)
{
    TempDir first, second;
    ServerProcess running(first.path() / "data");
    ASSERT_GT(running.port(), 0);
    const CommandResult taken =
        runServerCommand({"--listen", "127.0.0.1:" + std::to_string(running.port()), "--data",
                          (second.path() / "data").string()});
    EXPECT_NE(taken.exitCode, 0);
    EXPECT_NE(taken.out.find("cannot listen on 127.0.0.1:" + std::to_string(running.port())),
              std::string::npos)
        << taken.out;
}
