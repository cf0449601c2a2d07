#pragma once

#include "generation.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kestrune
{

class UpstreamClient;

enum class ModelKind { Showcase, Echo, Upstream };

struct ModelInfo {
    std::string id;
    std::string displayName;
    int pointsPer100 = 0;
    ModelKind kind = ModelKind::Echo;
};

nlohmann::json modelJson(const ModelInfo& model);

// The built-in models plus those of the upstream server. Its list is fetched again after a
// minute, or 15 seconds after a failed attempt (so an upstream started later shows up without
// every request waiting on an unreachable one). The fetch runs outside the lock: meanwhile
// other requests see the previous list.
class ModelRegistry
{
public:
    ModelRegistry(std::shared_ptr<UpstreamClient> upstream, int upstreamPointsPer100,
                  std::chrono::milliseconds streamDelay);

    std::vector<ModelInfo> list();
    std::optional<ModelInfo> find(const std::string& id);

    // The reply of a built-in model in the pieces it streams in, `pieceDelay` apart.
    std::vector<std::string> builtinReply(const ModelInfo& model,
                                          const GenerationRequest& request) const;
    std::chrono::milliseconds pieceDelay() const { return streamDelay; }
    // The upstream server's client, or null without one.
    const std::shared_ptr<UpstreamClient>& upstreamClient() const { return upstream; }

private:
    void refreshUpstream();

    std::shared_ptr<UpstreamClient> upstream;
    int upstreamPointsPer100;
    std::chrono::milliseconds streamDelay;
    std::vector<ModelInfo> builtins;

    std::mutex mutex;
    std::vector<ModelInfo> upstreamModels;
    std::chrono::steady_clock::time_point nextFetch{};
    bool fetching = false;
};

} // namespace kestrune
