#include "models.h"

#include "builtinmodels.h"
#include "text.h"
#include "upstream.h"

namespace kestrune
{

nlohmann::json modelJson(const ModelInfo& model)
{
    return {{"id", model.id},
            {"display_name", model.displayName},
            {"points_per_100", model.pointsPer100}};
}

ModelRegistry::ModelRegistry(std::shared_ptr<UpstreamClient> upstream, int upstreamPointsPer100,
                             std::chrono::milliseconds streamDelay)
    : upstream(std::move(upstream)), upstreamPointsPer100(upstreamPointsPer100),
      streamDelay(streamDelay), builtins{
                                    {"kestrune-showcase", "Markdown 展示", 1, ModelKind::Showcase},
                                    {"kestrune-echo", "回声", 2, ModelKind::Echo}}
{
    refreshUpstream(); // so that the first model list already holds the upstream's models
}

void ModelRegistry::refreshUpstream()
{
    if (!upstream)
        return;
    {
        std::lock_guard guard(mutex);
        if (fetching || std::chrono::steady_clock::now() < nextFetch)
            return;
        fetching = true;
    }
    const auto ids = upstream->fetchModels();
    std::lock_guard guard(mutex);
    fetching = false;
    if (!ids) {
        // Keep offering what we had; the upstream may be restarting.
        nextFetch = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        return;
    }
    nextFetch = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    upstreamModels.clear();
    for (const auto& id : *ids) {
        bool clash = false;
        for (const auto& b : builtins)
            clash = clash || b.id == id;
        if (!clash)
            upstreamModels.push_back({id, id, upstreamPointsPer100, ModelKind::Upstream});
    }
}

std::vector<ModelInfo> ModelRegistry::list()
{
    refreshUpstream();
    std::lock_guard guard(mutex);
    auto all = builtins;
    all.insert(all.end(), upstreamModels.begin(), upstreamModels.end());
    return all;
}

std::optional<ModelInfo> ModelRegistry::find(const std::string& id)
{
    for (const auto& model : list())
        if (model.id == id)
            return model;
    return std::nullopt;
}

std::vector<std::string> ModelRegistry::builtinReply(const ModelInfo& model,
                                                     const GenerationRequest& request) const
{
    return streamPieces(model.kind == ModelKind::Showcase ? showcaseReply(request)
                                                          : echoReply(request));
}

} // namespace kestrune
