#include "charging.h"
#include "refusal.h"
#include "routes.h"
#include "service.h"
#include "streaming.h"
#include "text.h"

#include <iostream>

namespace kestrune
{

using nlohmann::json;

namespace
{

constexpr std::size_t maxPromptCharacters = 32000;
constexpr std::size_t maxHistoryTurns = 200;

struct StreamJob {
    User user;
    ModelInfo model;
    std::string conversationId; // empty in private mode
    GenerationRequest request;
    std::size_t budget = 0;
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

StreamJob prepareJob(Service& service, const httplib::Request& req)
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
        for (auto& m : service.conversations.messages(conversation->id))
            job.request.history.push_back({std::move(m.role), std::move(m.content)});
    }
    auto model = service.models.find(modelId);
    if (!model)
        throw Refusal(job.request.privateMode ? 400 : 409, "模型不存在或当前不可用。");
    job.model = *model;
    job.budget = affordableCharacters(job.user.points, job.model.pointsPer100);
    if (job.budget == 0)
        throw Refusal(402, "对话额度已用完，请联系管理员充值。");
    return job;
}

// Runs the whole generation inside the response's content provider. Returns false to drop the
// connection (client gone or server stopping): nothing is then stored or charged.
bool runStream(Service& service, const StreamJob& job, httplib::DataSink& sink)
{
    try {
        ReplyBudget budget(job.budget);
        std::string reply;
        bool gone = false;
        const Emit emit = [&](std::string_view fragment) {
            if (service.stopping) {
                gone = true;
                return false;
            }
            const auto part = budget.admit(fragment);
            if (!part.empty()) {
                const std::string block = sseEvent("delta", {{"text", part}});
                if (!sink.write(block.data(), block.size())) {
                    gone = true;
                    return false;
                }
                reply.append(part);
            }
            return !budget.truncated();
        };
        const GenerationOutcome outcome = service.models.generate(job.model, job.request, emit);
        if (gone)
            return false;

        auto finish = [&](const std::string& event, const json& data) {
            const std::string block = sseEvent(event, data);
            sink.write(block.data(), block.size());
            sink.done();
            return true;
        };
        if (outcome.failed)
            return finish("error", {{"error", outcome.error}});
        if (reply.empty())
            return finish("error", {{"error", "模型没有返回任何内容，请重试。"}});

        TurnToSettle turn{job.user.id,        job.model.id,       job.model.pointsPer100,
                          job.conversationId, job.request.prompt, reply,
                          budget.truncated()};
        const auto settled = settleTurn(service.db, turn);
        if (!settled)
            return finish("error", {{"error", "对话额度已用完，请联系管理员充值。"}});
        return finish("done", {{"content", settled->content},
                               {"points", settled->balance},
                               {"charged", settled->charged},
                               {"truncated", settled->truncated}});
    } catch (const std::exception& e) {
        std::cerr << "error: stream: " << e.what() << "\n";
        const std::string block = sseEvent("error", {{"error", "服务器内部错误，请稍后再试。"}});
        sink.write(block.data(), block.size());
        sink.done();
        return true;
    }
}

} // namespace

void addChatRoutes(httplib::Server& server, Service& service)
{
    server.Post("/api/chat/stream", guarded([&service](const auto& req, auto& res) {
                    auto job = std::make_shared<StreamJob>(prepareJob(service, req));
                    res.status = 200;
                    res.set_header("Cache-Control", "no-cache");
                    res.set_header("X-Accel-Buffering", "no");
                    res.set_chunked_content_provider(
                        "text/event-stream", [&service, job](std::size_t, httplib::DataSink& sink) {
                            return runStream(service, *job, sink);
                        });
                }));
}

} // namespace kestrune
