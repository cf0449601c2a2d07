#include "charging.h"
#include "refusal.h"
#include "replygeneration.h"
#include "routes.h"
#include "routetable.h"
#include "service.h"
#include "streaming.h"
#include "streamroute.h"
#include "text.h"

#include <algorithm>
#include <iostream>
#include <limits>
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

const char* const noPoints = "对话额度已用完，请联系管理员充值。";
const char* const stoppedText = "服务正在重启，回复已中断，本次不扣点数。请稍后重试。";
const char* const notSavedText = "回复未能保存，本次不扣点数，请重试。";

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
        throw Refusal(400, "字段 history 必须是数组。");
    if (it->size() > maxHistoryTurns)
        throw Refusal(400, "历史记录过多，最多 200 条。");
    for (const auto& record : *it) {
        if (!record.is_object())
            throw Refusal(400, "history 中的每一项都必须是消息对象。");
        const auto role = record.find("role");
        const auto content = record.find("content");
        if (role == record.end() || !role->is_string() || (*role != "user" && *role != "assistant"))
            throw Refusal(400, "history 中消息的 role 必须是 user 或 assistant。");
        if (content == record.end() || !content->is_string())
            throw Refusal(400, "history 中消息的 content 必须是字符串。");
        history.push_back({role->get<std::string>(), content->get<std::string>()});
    }
    return history;
}

StreamJob prepareJob(Service& service, const HttpRequest& req)
{
    StreamJob job;
    job.user = requireUser(service, req);
    const json body = objectBody(req);
    job.request.prompt = trimmed(stringField(body, "prompt"));
    if (job.request.prompt.empty())
        throw Refusal(400, "提示内容不能为空。");
    if (codePointCount(job.request.prompt) > maxPromptCharacters)
        throw Refusal(413, "提示内容过长，最多 32000 个字符。");

    std::string modelId;
    if (body.contains("mode")) {
        if (body["mode"] != "private")
            throw Refusal(400, "字段 mode 只能是 private。");
        job.request.privateMode = true;
        modelId = stringField(body, "model");
        job.request.history = historyFromBody(body);
    } else {
        const auto conversation =
            service.conversations.find(job.user.id, stringField(body, "conversation_id"));
        if (!conversation)
            throw Refusal(404, "对话不存在或已删除。");
        job.conversationId = conversation->id;
        modelId = conversation->model;
        service.conversations.checkRoom(job.user.id, job.request.prompt.size());
        for (auto& m : service.conversations.recentMessages(conversation->id))
            job.request.history.push_back({std::move(m.role), std::move(m.content)});
    }
    auto model = service.models.find(modelId);
    if (!model)
        throw Refusal(job.request.privateMode ? 400 : 409, "模型不存在或当前不可用。");
    job.model = *model;
    return job;
}

// The points one reply holds while it streams: taken from the balance a block at a time as
// the reply grows, settled to the charge when it is stored, the rest given back in any case.
class HeldPoints
{
public:
    HeldPoints(Service& service, asio::thread_pool& blocking, const StreamJob& job)
        : service(service), blocking(blocking), userId(job.user.id),
          pointsPer100(job.model.pointsPer100)
    {
    }
    ~HeldPoints() { service.reservations.release(userId, held); }
    HeldPoints(const HeldPoints&) = delete;
    HeldPoints& operator=(const HeldPoints&) = delete;

    bool free() const { return pointsPer100 <= 0; }

    // The characters the held points still pay for, beyond `used`.
    std::size_t room(std::size_t used) const
    {
        if (free())
            return std::numeric_limits<std::size_t>::max();
        const std::size_t paid = affordableCharacters(held, pointsPer100);
        return paid > used ? paid - used : 0;
    }

    // Takes more points so that `characters` in all are paid for, in blocks of a few hundred
    // characters so that a long reply asks the balance rarely; false when nothing more was
    // granted.
    asio::awaitable<bool> growTo(std::size_t characters)
    {
        if (free())
            co_return true;
        const std::int64_t needed = chargeFor(characters, pointsPer100) - held;
        if (needed <= 0)
            co_return true;
        const std::int64_t wanted = std::max(needed, chargeFor(blockCharacters, pointsPer100));
        const std::int64_t granted = co_await runBlocking(blocking, [this, wanted] {
            return service.reservations.reserve(service.db, userId, wanted);
        });
        held += granted;
        co_return granted > 0;
    }

private:
    static constexpr std::size_t blockCharacters = 400;

    Service& service;
    asio::thread_pool& blocking;
    std::int64_t userId;
    int pointsPer100;
    std::int64_t held = 0;
};

// Sends the fragments of a reply as "delta" events, each only as far as the held points pay
// for it, and keeps what went out.
struct ReplyOutlet {
    ReplyOutlet(Service& service, ResponseStream& out, HeldPoints& points)
        : service(service), out(out), points(points)
    {
    }

    Service& service;
    ResponseStream& out;
    HeldPoints& points;
    std::string reply; // what went out, and so what is paid for
    std::size_t characters = 0;
    bool truncated = false;
    bool gone = false; // the client went away

    asio::awaitable<bool> send(std::string_view fragment)
    {
        if (service.stopping)
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

// Frees one of the account's reply slots when the reply ends, however it ends.
struct StreamSlot {
    StreamSlots& slots;
    std::int64_t userId;
    ~StreamSlot() { slots.release(userId); }
};

class ChatStream : public StreamRoute
{
public:
    ChatStream(Service& service, asio::thread_pool& blocking) : service(service), blocking(blocking)
    {
    }

    asio::awaitable<void> serve(HttpRequest request, ResponseStream& out) override
    {
        const StreamJob job =
            co_await runBlocking(blocking, [&] { return prepareJob(service, request); });
        if (!service.streams.acquire(job.user.id, service.options.maxStreamsPerAccount))
            throw Refusal(429, "同时进行的回复过多，请等当前的回复结束后再试。");
        const StreamSlot slot{service.streams, job.user.id};
        HeldPoints points(service, blocking, job);
        if (!co_await points.growTo(1))
            throw Refusal(402, noPoints);

        std::vector<std::pair<std::string, std::string>> headers{{"Cache-Control", "no-cache"},
                                                                 {"X-Accel-Buffering", "no"}};
        co_await out.start(200, "text/event-stream", std::move(headers));
        ReplyOutlet outlet(service, out, points);
        const AsyncEmit emit = [&outlet](std::string_view fragment) {
            return outlet.send(fragment);
        };

        GenerationOutcome outcome;
        out.waitingOnModel(true);
        try {
            if (!service.stopping)
                outcome = co_await generateReply(service.models, job.model, job.request, emit);
        } catch (const std::exception& e) {
            if (!service.stopping)
                std::cerr << "error: stream: " << e.what() << "\n";
            outcome = {true, "服务器内部错误，请稍后再试。"};
        }
        out.waitingOnModel(false);

        // Cut short by the service itself: nothing is charged or stored.
        if (service.stopping) {
            std::string stopped = sseEvent("error", {{"error", stoppedText}});
            if (co_await out.write(std::move(stopped)))
                co_await out.finish();
            co_return;
        }
        // The client hung up: what went out before is charged and kept, as a reply cut short.
        if (outlet.gone) {
            if (!outlet.reply.empty())
                co_await settle(job, outlet.reply, true);
            co_return;
        }

        json event;
        std::string name = "error";
        if (outcome.failed) {
            event = {{"error", outcome.error}};
        } else if (outlet.reply.empty()) {
            event = {{"error", outlet.truncated ? noPoints : "模型没有返回任何内容，请重试。"}};
        } else {
            const SettleResult result = co_await settle(job, outlet.reply, outlet.truncated);
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
    asio::awaitable<SettleResult> settle(const StreamJob& job, const std::string& reply,
                                         bool truncated)
    {
        const TurnToSettle turn{job.user.id,        job.model.id,       job.model.pointsPer100,
                                job.conversationId, job.request.prompt, reply,
                                truncated};
        try {
            auto settled =
                co_await runBlocking(blocking, [&] { return settleTurn(service.db, turn); });
            if (!settled)
                co_return SettleResult{std::nullopt, noPoints};
            co_return SettleResult{std::move(settled), {}};
        } catch (const std::exception& e) {
            std::cerr << "error: settling a reply: " << e.what() << "\n";
            co_return SettleResult{std::nullopt, notSavedText};
        }
    }

    Service& service;
    asio::thread_pool& blocking;
};

} // namespace

void addChatRoutes(RouteTable& routes, Service& service, asio::thread_pool& blocking)
{
    routes.add("POST", "/api/chat/stream", std::make_shared<ChatStream>(service, blocking));
}

} // namespace kestrune
