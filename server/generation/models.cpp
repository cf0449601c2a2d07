#include "models.h"

#include "builtinmodels.h"
#include "text.h"
#include "upstream.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <iostream>

namespace kestrune
{

namespace asio = boost::asio;

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
}

namespace
{

asio::awaitable<void> refreshForever(ModelRegistry& registry, const UpstreamClient& upstream)
{
    asio::steady_timer pause(co_await asio::this_coro::executor);
    bool reported = false;
    for (;;) {
        std::string failure;
        const auto ids = co_await fetchUpstreamModels(upstream, failure);
        if (ids) {
            registry.setUpstreamModels(*ids);
            if (!reported)
                std::cerr << "upstream: " << ids->size() << " models from "
                          << upstream.target().origin << "\n";
            reported = true;
        } else {
            // Keep offering what we had; the upstream may be restarting.
            std::cerr << "upstream: model list unavailable (" << failure << ")\n";
            reported = false;
        }
        pause.expires_after(ids ? std::chrono::seconds(60) : std::chrono::seconds(15));
        boost::system::error_code ec;
        co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }
}

} // namespace

void ModelRegistry::startRefreshing(asio::io_context& context)
{
    if (!upstream)
        return;
    // A strand of its own: the fetch's deadline timers and its socket never run side by side.
    asio::co_spawn(asio::make_strand(context), refreshForever(*this, *upstream), asio::detached);
}

void ModelRegistry::setUpstreamModels(const std::vector<std::string>& ids)
{
    std::vector<ModelInfo> models;
    for (const auto& id : ids) {
        bool clash = false;
        for (const auto& b : builtins)
            clash = clash || b.id == id;
        if (!clash)
            models.push_back({id, id, upstreamPointsPer100, ModelKind::Upstream});
    }
    std::lock_guard guard(mutex);
    upstreamModels = std::move(models);
}

std::vector<ModelInfo> ModelRegistry::list()
{
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
