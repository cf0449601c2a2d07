#include "replygeneration.h"

#include "models.h"
#include "upstream.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace kestrune
{

namespace asio = boost::asio;

asio::awaitable<GenerationOutcome> generateReply(const ModelRegistry& models,
                                                 const ModelInfo& model,
                                                 const GenerationRequest& request,
                                                 const AsyncEmit& emit)
{
    if (model.kind == ModelKind::Upstream) {
        const auto& upstream = models.upstreamClient();
        if (!upstream)
            co_return GenerationOutcome{true, "模型当前不可用。"};
        std::vector<ChatTurn> messages = request.history;
        messages.push_back({"user", request.prompt});
        co_return co_await streamUpstreamChat(*upstream, model.id, messages, emit);
    }
    asio::steady_timer pause(co_await asio::this_coro::executor);
    bool first = true;
    for (const auto& piece : models.builtinReply(model, request)) {
        if (!first && models.pieceDelay().count() > 0) {
            pause.expires_after(models.pieceDelay());
            co_await pause.async_wait(asio::use_awaitable);
        }
        first = false;
        if (!co_await emit(piece))
            break;
    }
    co_return GenerationOutcome{};
}

} // namespace kestrune
