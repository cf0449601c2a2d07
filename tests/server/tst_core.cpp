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

class FewConnections : public ServerTest
{
protected:
    std::vector<std::string> serverArgs() const override
    {
        return {"--max-connections-per-address", "3"};
    }
};

TEST_F(FewConnections, OneAddressCannotTakeEveryConnection)
{
    std::vector<std::unique_ptr<RawConnection>> held;
    for (int i = 0; i < 3; ++i)
        held.push_back(std::make_unique<RawConnection>(server->port()));
    // Held ones count once the server has taken them: a request on each shows it.
    for (auto& connection : held) {
        connection->send("GET /api/models HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_EQ(statusLine(connection->receive("\r\n\r\n")), "HTTP/1.1 401 Unauthorized");
    }
    RawConnection extra(server->port());
    const std::string refused = extra.receive("\r\n\r\n");
    EXPECT_EQ(statusLine(refused), "HTTP/1.1 503 Service Unavailable");
    EXPECT_TRUE(extra.closedByServer());

    held.pop_back();
    bool servedAgain = false;
    for (int i = 0; i < 50 && !servedAgain; ++i) {
        servedAgain = api->get("/api/models").status == 401;
        if (!servedAgain)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(servedAgain);
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
