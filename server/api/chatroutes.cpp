#include "apicontext.h"
#include "blocking.h"
#include "errortexts.h"
#include "metrics.h"
#include "refusal.h"
#include "replygeneration.h"
#include "replyhold.h"
#include "routes.h"
#include "routetable.h"
#include "streaming.h"
#include "streamroute.h"
#include "text.h"

#include <algorithm>
#include <iostream>
#include <optional>

namespace kestrune
{

using nlohmann::json;

namespace
{

constexpr std::size_t maxPromptCharacters = 32000;
constexpr std::size_t maxHistoryTurns = 200;
// The longest reply the service relays: a model that runs on is cut there, as the balance
// would cut it.
constexpr std::size_t maxReplyCharacters = 200000;

struct StreamJob {
    User user;
    ModelInfo model;
    std::string conversationId; // empty in private mode
    GenerationRequest request;
};

std::vector<ChatTurn> historyFromBody(const json& body)
{
    std::vector<ChatTurn> history;
    const auto it = body.find("history");
    if (it == body.end())
        return history;
    if (!it->is_array())
        throw Refusal(RefusalKind::invalid, errortext::historyNotArray);
    if (it->size() > maxHistoryTurns)
        throw Refusal(RefusalKind::invalid, errortext::historyTooLong(maxHistoryTurns));
    for (const auto& record : *it) {
        if (!record.is_object())
            throw Refusal(RefusalKind::invalid, errortext::historyItemNotObject);
        const auto role = record.find("role");
        const auto content = record.find("content");
        if (role == record.end() || !role->is_string() || (*role != "user" && *role != "assistant"))
            throw Refusal(RefusalKind::invalid, errortext::historyBadRole);
        if (content == record.end() || !content->is_string())
            throw Refusal(RefusalKind::invalid, errortext::historyBadContent);
        history.push_back({role->get<std::string>(), content->get<std::string>()});
    }
    return history;
}

StreamJob prepareJob(ApiContext& api, const HttpRequest& req)
{
    StreamJob job;
    job.user = requireUser(api.accounts, req);
    const json body = objectBody(req);
    job.request.prompt = trimmed(stringField(body, "prompt"));
    if (job.request.prompt.empty())
        throw Refusal(RefusalKind::invalid, errortext::emptyPrompt);
    if (codePointCount(job.request.prompt) > maxPromptCharacters)
        throw Refusal(RefusalKind::tooLarge, errortext::promptTooLong(maxPromptCharacters));

    std::string modelId;
    if (body.contains("mode")) {
        if (body["mode"] != "private")
            throw Refusal(RefusalKind::invalid, errortext::badMode);
        job.request.privateMode = true;
        modelId = stringField(body, "model");
        job.request.history = historyFromBody(body);
    } else {
        const auto conversation =
            api.conversations.find(job.user.id, stringField(body, "conversation_id"));
        if (!conversation)
            throw Refusal(RefusalKind::notFound, errortext::conversationNotFound);
        job.conversationId = conversation->id;
        modelId = conversation->model;
        api.conversations.checkRoom(job.user.id, job.request.prompt.size());
        for (auto& m : api.conversations.recentMessages(conversation->id))
            job.request.history.push_back({std::move(m.role), std::move(m.content)});
    }
    auto model = api.models.find(modelId);
    if (!model)
        throw Refusal(job.request.privateMode ? RefusalKind::invalid : RefusalKind::conflict,
                      errortext::modelUnavailable);
    job.model = *model;
    return job;
}

// Sends the fragments of a reply as "delta" events, each only as far as the held points pay
// for it, and keeps what went out.
struct ReplyOutlet {
    ReplyOutlet(const std::atomic<bool>& stopping, ResponseStream& out, ReplyHold& points)
        : stopping(stopping), out(out), points(points)
    {
    }

    const std::atomic<bool>& stopping;
    ResponseStream& out;
    ReplyHold& points;
    std::string reply; // what went out, and so what is paid for
    std::size_t characters = 0;
    bool truncated = false;
    bool gone = false; // the client went away

    asio::awaitable<bool> send(std::string_view fragment)
    {
        if (stopping)
            co_return false;
        const std::size_t length = codePointCount(fragment);
        if (points.room(characters) < length)
            co_await points.growTo(characters + length);
        const std::size_t fits =
            std::min({length, points.room(characters),
                      maxReplyCharacters - std::min(characters, maxReplyCharacters)});
        const std::string_view part = firstCodePoints(fragment, fits);
        truncated = fits < length;
        if (!part.empty()) {
            // Built before the co_await: GCC 12 cannot keep a braced list across a suspension.
            std::string event = sseEvent("delta", {{"text", part}});
            if (!co_await out.write(std::move(event))) {
                gone = true;
                co_return false;
            }
            reply.append(part);
            characters += fits;
        }
        co_return !truncated;
    }
};

class ChatStream : public StreamRoute
{
public:
    ChatStream(ApiContext& api, asio::thread_pool& blocking) : api(api), blocking(blocking) {}

    asio::awaitable<void> serve(HttpRequest request, ResponseStream& out) override
    {
        const StreamJob job =
            co_await runBlocking(blocking, [&] { return prepareJob(api, request); });
        auto opened = co_await runBlocking(blocking, [&] {
            return api.points.holds.open(job.user.id, api.maxStreamsPerAccount,
                                         ReplyHold::firstBlock(job.model.pointsPer100));
        });
        if (!opened)
            throw Refusal(RefusalKind::tooFrequent, errortext::tooManyStreams);
        ReplyHold points(api.points.holds, blocking, std::move(*opened), job.user.id,
                         job.model.pointsPer100);
        if (!co_await points.growTo(1))
            throw Refusal(RefusalKind::outOfPoints, errortext::noPoints);

        std::vector<std::pair<std::string, std::string>> headers{{"Cache-Control", "no-cache"},
                                                                 {"X-Accel-Buffering", "no"}};
        co_await out.start(200, "text/event-stream", std::move(headers));
        ReplyOutlet outlet(api.stopping, out, points);
        const AsyncEmit emit = [&outlet](std::string_view fragment) {
            return outlet.send(fragment);
        };

        GenerationOutcome outcome;
        out.waitingOnModel(true);
        try {
            if (!api.stopping)
                outcome = co_await generateReply(api.models, job.model, job.request, emit);
        } catch (const std::exception& e) {
            if (!api.stopping)
                std::cerr << "error: stream: " << e.what() << "\n";
            outcome = {true, defaultErrorText(500)};
        }
        out.waitingOnModel(false);

        // Cut short by the service itself: nothing is charged or stored.
        if (api.stopping) {
            std::string stopped = sseEvent("error", {{"error", errortext::serviceStopping}});
            if (co_await out.write(std::move(stopped)))
                co_await out.finish();
            co_return;
        }
        // The client hung up: what went out before is charged and kept, as a reply cut short.
        if (outlet.gone) {
            if (!outlet.reply.empty())
                co_await settle(job, points.id(), outlet.reply, true);
            co_return;
        }

        json event;
        std::string name = "error";
        if (outcome.failed) {
            event = {{"error", outcome.error}};
        } else if (outlet.reply.empty()) {
            // A hold that lost its lease was cut off from the database, not from the balance.
            event = {{"error", !outlet.truncated ? errortext::emptyReply
                               : points.leased() ? errortext::noPoints
                                                 : errortext::storageUnavailable}};
        } else {
            const SettleResult result =
                co_await settle(job, points.id(), outlet.reply, outlet.truncated);
            if (const auto& settled = result.settlement) {
                name = "done";
                event = {{"content", settled->content},
                         {"points", settled->balance},
                         {"charged", settled->charged},
                         {"truncated", settled->truncated}};
            } else {
                event = {{"error", result.error}};
            }
        }
        if (co_await out.write(sseEvent(name, event)))
            co_await out.finish();
    }

private:
    struct SettleResult {
        std::optional<Settlement> settlement;
        std::string error; // when there is none: nothing was charged
    };

    // Charges the reply and stores the turn, in one transaction.
    asio::awaitable<SettleResult> settle(const StreamJob& job, const std::string& holdId,
                                         const std::string& reply, bool truncated)
    {
        const TurnToSettle turn{job.user.id,
                                job.model.id,
                                job.model.pointsPer100,
                                job.conversationId,
                                job.request.prompt,
                                reply,
                                truncated,
                                holdId};
        try {
            auto settled = co_await runBlocking(blocking, [&] { return api.points.settle(turn); });
            if (!settled)
                co_return SettleResult{std::nullopt, errortext::noPoints};
            metrics::pointsCharged(settled->charged);
            co_return SettleResult{std::move(settled), {}};
        } catch (const std::exception& e) {
            std::cerr << "error: settling a reply: " << e.what() << "\n";
            co_return SettleResult{std::nullopt, errortext::replyNotSaved};
        }
    }

    ApiContext& api;
    asio::thread_pool& blocking;
};

} // namespace

void addChatRoutes(RouteTable& routes, ApiContext& api, asio::thread_pool& blocking)
{
    routes.add("POST", "/api/chat/stream", std::make_shared<ChatStream>(api, blocking));
}

} // namespace kestrune
