#pragma once

#include "generation.h"

#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune
{

struct UpstreamTarget {
    std::string origin; // scheme://host[:port]
    std::string prefix; // path before /v1, usually empty
};

// Accepts "http://host:8080", "http://host:8080/v1" and "https://host/some/prefix/v1".
std::optional<UpstreamTarget> parseUpstreamUrl(std::string_view url);

struct UpstreamEndpoint {
    bool tls = false;
    std::string host; // without brackets
    std::string port;
};
std::optional<UpstreamEndpoint> endpointOf(const std::string& origin);
// The Host header for the endpoint: IPv6 in brackets, the port unless it is the scheme's own.
std::string hostHeader(const UpstreamEndpoint& endpoint);

// Deadlines of every step with the upstream server.
struct UpstreamDeadlines {
    std::chrono::milliseconds resolve{5000};
    std::chrono::milliseconds connect{5000}; // the TLS handshake has as long again
    std::chrono::milliseconds send{10000};
    // The model list: its head and its body, each.
    std::chrono::milliseconds listHead{10000};
    std::chrono::milliseconds listBody{10000};
    // A reply: the longest silence (a model that keeps producing is never cut off for it) and
    // its whole length.
    std::chrono::milliseconds silence{120000};
    std::chrono::milliseconds reply{30 * 60 * 1000};
};

// Splits an OpenAI-style event stream into the payloads of its "data:" lines, one call per
// event, across arbitrary read boundaries. Each byte is looked at once, however the stream is
// split; an event may hold at most `maxEventBytes`.
class UpstreamEventParser
{
public:
    static constexpr std::size_t maxEventBytes = 256 * 1024;

    // False once an event has grown past the limit: the stream is not to be trusted further.
    template <class F> bool feed(std::string_view bytes, F&& onData)
    {
        buffer.append(bytes);
        std::string data;
        while (nextEvent(data))
            onData(std::string_view(data));
        compact();
        return buffer.size() - start <= maxEventBytes;
    }

private:
    bool nextEvent(std::string& data);
    void compact();

    std::string buffer;
    std::size_t start = 0;   // where the current event begins
    std::size_t scanned = 0; // how far it has been searched for its end
};

// What one upstream stream chunk contributes: text, the end marker, or an error.
struct UpstreamChunk {
    std::string text;
    bool done = false;
    bool error = false;
};
UpstreamChunk interpretUpstreamData(std::string_view data);

// Client of an OpenAI-compatible server (GET /v1/models; streamed chat completions through
// streamUpstreamChat below). Safe to use from any thread.
class UpstreamClient
{
public:
    UpstreamClient(UpstreamTarget target, std::string apiKey, UpstreamDeadlines deadlines = {});

    const UpstreamTarget& target() const { return where; }
    const std::string& key() const { return apiKey; }
    const UpstreamDeadlines& deadlines() const { return limits; }

private:
    UpstreamTarget where;
    std::string apiKey;
    UpstreamDeadlines limits;
};

// The upstream's model ids (GET /v1/models), each step within its deadline; nothing when it
// cannot be reached in time or answers nonsense, with the reason in `failure`. Runs on the
// caller's strand.
boost::asio::awaitable<std::optional<std::vector<std::string>>>
fetchUpstreamModels(const UpstreamClient& upstream, std::string& failure);

// Streams a chat completion of the upstream server (POST /v1/chat/completions with
// "stream": true) over plain HTTP or HTTPS, passing each text fragment to `emit`.
boost::asio::awaitable<GenerationOutcome> streamUpstreamChat(const UpstreamClient& upstream,
                                                             const std::string& model,
                                                             const std::vector<ChatTurn>& messages,
                                                             const AsyncEmit& emit);

} // namespace kestrune
