#pragma once

#include "generation.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace boost::asio
{
class io_context;
}

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

// The built-in models plus those of the upstream server. The upstream's list is fetched in
// the background: at start, then every minute (15 seconds after a failed attempt, so that an
// upstream started later shows up soon). No request ever waits for it: meanwhile every request
// sees the last list that was fetched.
class ModelRegistry
{
public:
    ModelRegistry(std::shared_ptr<UpstreamClient> upstream, int upstreamPointsPer100,
                  std::chrono::milliseconds streamDelay);

    // Starts the background fetching on `context`; nothing without an upstream.
    void startRefreshing(boost::asio::io_context& context);

    std::vector<ModelInfo> list();
    std::optional<ModelInfo> find(const std::string& id);

    // The reply of a built-in model in the pieces it streams in, `pieceDelay` apart.
    std::vector<std::string> builtinReply(const ModelInfo& model,
                                          const GenerationRequest& request) const;
    std::chrono::milliseconds pieceDelay() const { return streamDelay; }
    // The upstream server's client, or null without one.
    const std::shared_ptr<UpstreamClient>& upstreamClient() const { return upstream; }
    // Takes a freshly fetched list of the upstream's model ids.
    void setUpstreamModels(const std::vector<std::string>& ids);

private:
    std::shared_ptr<UpstreamClient> upstream;
    int upstreamPointsPer100;
    std::chrono::milliseconds streamDelay;
    std::vector<ModelInfo> builtins;

    std::mutex mutex;
    std::vector<ModelInfo> upstreamModels;
};

} // namespace kestrune
