#include "testclient.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

namespace
{

// Binds a socket to a loopback source address before it connects.
bool bindTo(int fd, const std::string& sourceAddress)
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    return inet_pton(AF_INET, sourceAddress.c_str(), &local.sin_addr) == 1 &&
           bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
}

Reply toReply(const httplib::Result& res)
{
    Reply r;
    if (!res)
        return r;
    r.status = res->status;
    r.raw = res->body;
    r.contentType = res->get_header_value("Content-Type");
    r.body = json::parse(res->body, nullptr, false);
    if (r.body.is_discarded())
        r.body = nullptr;
    return r;
}

std::string trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return std::string(s);
}

} // namespace

json privateTurn(const std::string& prompt, const std::string& model)
{
    return {{"prompt", prompt}, {"mode", "private"}, {"model", model}, {"history", json::array()}};
}

std::vector<Event> parseEvents(std::string_view body)
{
    std::string text;
    for (std::size_t i = 0; i < body.size(); ++i)
        if (!(body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n'))
            text += body[i];
    std::vector<Event> events;
    std::size_t pos = 0;
    for (;;) {
        const auto end = text.find("\n\n", pos);
        if (end == std::string::npos)
            break;
        std::string name, data;
        std::istringstream block(text.substr(pos, end - pos));
        for (std::string line; std::getline(block, line);) {
            if (line.rfind("event:", 0) == 0)
                name = trim(std::string_view(line).substr(6));
            else if (line.rfind("data:", 0) == 0)
                data += trim(std::string_view(line).substr(5));
        }
        pos = end + 2;
        if (name.empty())
            continue;
        json parsed = json::parse(data, nullptr, false);
        events.push_back({name, parsed.is_object() ? parsed : json::object()});
    }
    return events;
}

std::string StreamResult::deltaText() const
{
    std::string out;
    for (const auto& e : events)
        if (e.name == "delta")
            out += e.data.value("text", "");
    return out;
}

namespace
{

httplib::Headers headersOf(const TestApi& api)
{
    httplib::Headers h(api.extraHeaders.begin(), api.extraHeaders.end());
    if (!api.token.empty())
        h.emplace("Authorization", "Bearer " + api.token);
    return h;
}

// A client for one request, from the API's source address.
std::unique_ptr<httplib::Client> clientOf(const TestApi& api)
{
    auto client = std::make_unique<httplib::Client>("127.0.0.1", api.port);
    client->set_read_timeout(60, 0);
    if (!api.sourceAddress.empty())
        client->set_socket_options(
            [source = api.sourceAddress](int fd) { EXPECT_TRUE(bindTo(fd, source)) << source; });
    return client;
}

} // namespace

Reply TestApi::get(const std::string& path) const
{
    auto client = clientOf(*this);
    httplib::Client& c = *client;
    return toReply(c.Get(path, headersOf(*this)));
}

Reply TestApi::post(const std::string& path, const json& body) const
{
    auto client = clientOf(*this);
    httplib::Client& c = *client;
    return toReply(c.Post(path, headersOf(*this), body.dump(), "application/json"));
}

Reply TestApi::patch(const std::string& path, const json& body) const
{
    auto client = clientOf(*this);
    httplib::Client& c = *client;
    return toReply(c.Patch(path, headersOf(*this), body.dump(), "application/json"));
}

Reply TestApi::del(const std::string& path) const
{
    // As the desktop client sends it: an empty JSON object as body.
    auto client = clientOf(*this);
    httplib::Client& c = *client;
    return toReply(c.Delete(path, headersOf(*this), "{}", "application/json"));
}

Reply TestApi::send(const std::string& method, const std::string& path, const std::string& body,
                    const std::string& contentType) const
{
    auto client = clientOf(*this);
    httplib::Client& c = *client;
    httplib::Request req;
    req.method = method;
    req.path = path;
    req.headers = headersOf(*this);
    req.body = body;
    if (!contentType.empty())
        req.headers.emplace("Content-Type", contentType);
    return toReply(c.send(req));
}

StreamResult TestApi::stream(const json& body) const
{
    auto client = clientOf(*this);
    httplib::Client& c = *client;
    auto headers = headersOf(*this);
    headers.emplace("Accept", "text/event-stream");
    auto res = c.Post("/api/chat/stream", headers, body.dump(), "application/json");
    StreamResult out;
    if (!res)
        return out;
    out.status = res->status;
    out.raw = res->body;
    out.events = parseEvents(res->body);
    return out;
}

StreamResult TestApi::stream(const json& body, const std::function<void()>& onStart,
                             const std::function<void()>& onEnd) const
{
    auto client = clientOf(*this);
    httplib::Request request;
    request.method = "POST";
    request.path = "/api/chat/stream";
    request.headers = headersOf(*this);
    request.headers.emplace("Accept", "text/event-stream");
    request.headers.emplace("Content-Type", "application/json");
    request.body = body.dump();
    StreamResult out;
    bool started = false;
    request.response_handler = [&](const httplib::Response& response) {
        out.status = response.status;
        if (response.status == 200) {
            started = true;
            onStart();
        }
        return true;
    };
    request.content_receiver = [&](const char* data, std::size_t size, std::uint64_t,
                                   std::uint64_t) {
        out.raw.append(data, size);
        return true;
    };
    client->send(request);
    if (started)
        onEnd();
    out.events = parseEvents(out.raw);
    return out;
}

std::string codeInMail(const std::string& mail)
{
    const auto bodyStart = mail.find("\r\n\r\n");
    if (bodyStart == std::string::npos)
        return {};
    const std::string body = mail.substr(bodyStart + 4);
    std::vector<std::string> runs;
    std::string run;
    for (char c : body + " ") {
        if (c >= '0' && c <= '9') {
            run += c;
        } else {
            if (run.size() == 6)
                runs.push_back(run);
            run.clear();
        }
    }
    return runs.size() == 1 ? runs.front() : std::string();
}

std::string mailFor(const std::filesystem::path& outbox, const std::string& pendingId)
{
    for (const auto& entry : std::filesystem::directory_iterator(outbox)) {
        const auto name = entry.path().filename().string();
        if (name.find(pendingId) != std::string::npos && entry.path().extension() == ".eml") {
            std::ifstream in(entry.path(), std::ios::binary);
            std::stringstream ss;
            ss << in.rdbuf();
            return ss.str();
        }
    }
    return {};
}

std::string scrapeMetrics(int port)
{
    httplib::Client client("127.0.0.1", port);
    const auto result = client.Get("/metrics");
    EXPECT_TRUE(result && result->status == 200);
    return result ? result->body : std::string();
}

double metricSample(const std::string& exposition, const std::string& sample)
{
    std::istringstream lines(exposition);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(sample + " ", 0) == 0)
            return std::stod(line.substr(sample.size() + 1));
    return -1;
}

Account createAccount(const TestApi& api, const std::filesystem::path& outbox,
                      const std::string& username)
{
    TestApi anonymous(api.port);
    Account a{username, username + "@example.org", "correct horse " + username, {}, {}};
    const Reply reg =
        anonymous.post("/api/auth/register",
                       {{"username", a.username}, {"email", a.email}, {"password", a.password}});
    EXPECT_EQ(reg.status, 200) << reg.raw;
    const std::string pending = reg.body.value("pending_id", "");
    const std::string code = codeInMail(mailFor(outbox, pending));
    EXPECT_EQ(code.size(), 6u);
    const Reply ver = anonymous.post("/api/auth/verify", {{"pending_id", pending}, {"code", code}});
    EXPECT_EQ(ver.status, 200) << ver.raw;
    const Reply login =
        anonymous.post("/api/auth/login", {{"login", a.username}, {"password", a.password}});
    EXPECT_EQ(login.status, 200) << login.raw;
    a.token = login.body.value("token", "");
    a.user = login.body.value("user", json::object());
    return a;
}

RawConnection::RawConnection(int port, const std::string& sourceAddress)
{
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && !sourceAddress.empty() && !bindTo(fd, sourceAddress)) {
        close(fd);
        fd = -1;
        return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        fd = -1;
    }
}

RawConnection::~RawConnection()
{
    if (fd >= 0)
        close(fd);
}

bool RawConnection::send(std::string_view bytes)
{
    while (!bytes.empty()) {
        const auto n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string RawConnection::receive(const std::string& needle, int timeoutMs)
{
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!peerClosed && (needle.empty() || received.find(needle) == std::string::npos)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        char buf[4096];
        const auto n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            peerClosed = true;
            break;
        }
        received.append(buf, static_cast<std::size_t>(n));
    }
    return received;
}

bool RawConnection::closedByServer(int timeoutMs)
{
    receive({}, timeoutMs);
    return peerClosed;
}

std::string startRawStream(RawConnection& connection, const std::string& token,
                           const std::string& model)
{
    const std::string body = privateTurn("请慢慢回答", model).dump();
    connection.send("POST /api/chat/stream HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + token +
                    "\r\nContent-Type: application/json\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\n\r\n" + body);
    return connection.receive("event: delta");
}

std::string rawGet(RawConnection& connection, const std::string& path)
{
    connection.send("GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
    // Every answer here is a JSON object: it is whole at its last brace.
    const std::string response = connection.receive("}");
    return response.substr(0, response.find("\r\n"));
}
