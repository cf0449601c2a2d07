#pragma once

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

using nlohmann::json;

struct Reply {
    int status = 0;
    json body; // parsed JSON object, or null when the body is not JSON
    std::string raw;
    std::string contentType;
};

struct Event {
    std::string name;
    json data;
};

// The body of a private-mode reply request without history.
json privateTurn(const std::string& prompt, const std::string& model = "kestrune-echo");

// Reads server-sent events the way the desktop client does: blocks end at a blank line,
// "event:" names the block, "data:" pieces are joined.
std::vector<Event> parseEvents(std::string_view body);

struct StreamResult {
    int status = 0;
    std::string raw;
    std::vector<Event> events;
    std::string deltaText() const; // all delta texts joined
    const Event* last() const { return events.empty() ? nullptr : &events.back(); }
};

// JSON over HTTP against the server under test, with the bearer token when one is set.
class TestApi
{
public:
    explicit TestApi(int port) : port(port) {}
    std::string token;
    // The loopback address requests come from ("127.0.0.2"); empty: the system's choice.
    std::string sourceAddress;
    // Extra headers on every request ("X-Forwarded-For").
    std::vector<std::pair<std::string, std::string>> extraHeaders;

    Reply get(const std::string& path) const;
    Reply post(const std::string& path, const json& body) const;
    Reply patch(const std::string& path, const json& body) const;
    Reply del(const std::string& path) const;
    // Any method and raw body, for malformed requests.
    Reply send(const std::string& method, const std::string& path, const std::string& body,
               const std::string& contentType = "application/json") const;
    StreamResult stream(const json& body) const;
    // The same, calling `onStart` when a 200 head has arrived (the reply is under way) and
    // `onEnd` once it has ended, before returning.
    StreamResult stream(const json& body, const std::function<void()>& onStart,
                        const std::function<void()>& onEnd) const;

    int port;
};

// The one run of exactly six digits in the mail body; empty unless there is exactly one.
std::string codeInMail(const std::string& mail);
// Reads the outbox mail of a registration (its file name carries the pending id).
std::string mailFor(const std::filesystem::path& outbox, const std::string& pendingId);

// The Prometheus text the service's metrics listener serves on `port`.
std::string scrapeMetrics(int port);
// The value of one sample (its name with labels, as exposed), or -1 when it is absent.
double metricSample(const std::string& exposition, const std::string& sample);

struct Account {
    std::string username;
    std::string email;
    std::string password;
    std::string token;
    json user;
};

// Registers through the real flow (code read from the outbox .eml), verifies and signs in;
// leaves `api.token` unchanged.
Account createAccount(const TestApi& api, const std::filesystem::path& outbox,
                      const std::string& username);

// A bare TCP connection to the server under test, for requests no HTTP client would send
// (trickled heads, lying lengths) and for holding connections open.
class RawConnection
{
public:
    explicit RawConnection(int port, const std::string& sourceAddress = {});
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connected() const { return fd >= 0; }
    bool send(std::string_view bytes);
    // What arrives until the server closes or `needle` has arrived, waiting at most
    // `timeoutMs` in all (a guard against a hang, not a measurement).
    std::string receive(const std::string& needle = {}, int timeoutMs = 10000);
    // True once the server has closed its side.
    bool closedByServer(int timeoutMs = 10000);

private:
    int fd = -1;
    bool peerClosed = false;
};

// Sends a private reply request of `model` on `connection` and returns what arrived until its
// first fragment (or the reply's end): the connection is then busy streaming.
std::string startRawStream(RawConnection& connection, const std::string& token,
                           const std::string& model = "kestrune-showcase");
// A complete GET of `path` on a kept-alive connection; the status line of the answer.
std::string rawGet(RawConnection& connection, const std::string& path);
