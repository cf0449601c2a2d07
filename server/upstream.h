#pragma once

#include "generation.h"

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

// Splits an OpenAI-style event stream into the payloads of its "data:" lines, one call per
// event, across arbitrary read boundaries.
class UpstreamEventParser
{
public:
    template <class F> void feed(std::string_view bytes, F&& onData)
    {
        buffer.append(bytes);
        std::string data;
        while (nextEvent(data))
            onData(std::string_view(data));
    }

private:
    bool nextEvent(std::string& data);
    std::string buffer;
};

// What one upstream stream chunk contributes: text, the end marker, or an error.
struct UpstreamChunk {
    std::string text;
    bool done = false;
    bool error = false;
};
UpstreamChunk interpretUpstreamData(std::string_view data);

// Client of an OpenAI-compatible server (GET /v1/models; streamed chat completions through
// streamUpstreamChat in replygeneration.h). Safe to use from any thread.
class UpstreamClient
{
public:
    UpstreamClient(UpstreamTarget target, std::string apiKey);

    // Model ids, or nothing when the upstream cannot be reached or answers nonsense. Blocks
    // for a few seconds at most: called on the pool for blocking work.
    std::optional<std::vector<std::string>> fetchModels() const;

    const UpstreamTarget& target() const { return where; }
    const std::string& key() const { return apiKey; }

private:
    UpstreamTarget where;
    std::string apiKey;
};

} // namespace kestrune
