#include "refusal.h"
#include "routes.h"
#include "routetable.h"
#include "service.h"
#include "text.h"

namespace kestrune
{

using nlohmann::json;

namespace
{

const char* notFound = "对话不存在或已删除。";

} // namespace

void addConversationRoutes(RouteTable& routes, Service& service)
{
    routes.add("GET", "/api/conversations", [&service](const HttpRequest& req) {
        const User user = requireUser(service, req);
        json list = json::array();
        for (const auto& c : service.conversations.list(user.id))
            list.push_back(conversationJson(c));
        return jsonResponse(200, {{"conversations", list}});
    });

    routes.add("POST", "/api/conversations", [&service](const HttpRequest& req) {
        const User user = requireUser(service, req);
        const json body = objectBody(req);
        const std::string model = stringField(body, "model");
        if (!service.models.find(model))
            throw Refusal(400, "模型不存在或当前不可用。");
        return jsonResponse(
            201,
            {{"conversation", conversationJson(service.conversations.create(user.id, model))}});
    });

    routes.add("GET", "/api/conversations/{id}", [&service](const HttpRequest& req) {
        const User user = requireUser(service, req);
        const auto c = service.conversations.find(user.id, req.params.at(0));
        if (!c)
            throw Refusal(404, notFound);
        json messages = json::array();
        for (const auto& m : service.conversations.messages(c->id))
            messages.push_back(messageJson(m));
        return jsonResponse(200, {{"conversation", conversationJson(*c)}, {"messages", messages}});
    });

    routes.add("PATCH", "/api/conversations/{id}", [&service](const HttpRequest& req) {
        const User user = requireUser(service, req);
        const json body = objectBody(req);
        const std::string title = stringField(body, "title");
        if (normalizedTitle(title, Conversations::maxTitleLength).empty())
            throw Refusal(400, "标题不能为空。");
        const auto stored = service.conversations.rename(user.id, req.params.at(0), title);
        if (!stored)
            throw Refusal(404, notFound);
        return jsonResponse(200, {{"title", *stored}});
    });

    routes.add("DELETE", "/api/conversations/{id}", [&service](const HttpRequest& req) {
        const User user = requireUser(service, req);
        if (!service.conversations.remove(user.id, req.params.at(0)))
            throw Refusal(404, notFound);
        return jsonResponse(200, {{"deleted", true}});
    });
}

} // namespace kestrune
