#include "refusal.h"
#include "routes.h"
#include "service.h"
#include "text.h"

namespace kestrune
{

using nlohmann::json;

namespace
{

const char* notFound = "对话不存在或已删除。";

} // namespace

void addConversationRoutes(httplib::Server& server, Service& service)
{
    server.Get("/api/models", guarded([&service](const auto& req, auto& res) {
                   requireUser(service, req);
                   json models = json::array();
                   for (const auto& model : service.models.list())
                       models.push_back(modelJson(model));
                   sendJson(res, 200, {{"models", models}});
               }));

    server.Get("/api/conversations", guarded([&service](const auto& req, auto& res) {
                   const User user = requireUser(service, req);
                   json list = json::array();
                   for (const auto& c : service.conversations.list(user.id))
                       list.push_back(conversationJson(c));
                   sendJson(res, 200, {{"conversations", list}});
               }));

    server.Post("/api/conversations", guarded([&service](const auto& req, auto& res) {
                    const User user = requireUser(service, req);
                    const json body = objectBody(req);
                    const std::string model = stringField(body, "model");
                    if (!service.models.find(model))
                        throw Refusal(400, "模型不存在或当前不可用。");
                    sendJson(res, 201,
                             {{"conversation",
                               conversationJson(service.conversations.create(user.id, model))}});
                }));

    server.Get(
        R"(/api/conversations/([^/]+))", guarded([&service](const auto& req, auto& res) {
            const User user = requireUser(service, req);
            const auto c = service.conversations.find(user.id, req.matches[1].str());
            if (!c)
                throw Refusal(404, notFound);
            json messages = json::array();
            for (const auto& m : service.conversations.messages(c->id))
                messages.push_back({{"role", m.role}, {"content", m.content}});
            sendJson(res, 200, {{"conversation", conversationJson(*c)}, {"messages", messages}});
        }));

    server.Patch(R"(/api/conversations/([^/]+))", guarded([&service](const auto& req, auto& res) {
                     const User user = requireUser(service, req);
                     const json body = objectBody(req);
                     const std::string title = stringField(body, "title");
                     if (normalizedTitle(title, Conversations::maxTitleLength).empty())
                         throw Refusal(400, "标题不能为空。");
                     const auto stored =
                         service.conversations.rename(user.id, req.matches[1].str(), title);
                     if (!stored)
                         throw Refusal(404, notFound);
                     sendJson(res, 200, {{"title", *stored}});
                 }));

    server.Delete(R"(/api/conversations/([^/]+))", guarded([&service](const auto& req, auto& res) {
                      const User user = requireUser(service, req);
                      if (!service.conversations.remove(user.id, req.matches[1].str()))
                          throw Refusal(404, notFound);
                      sendJson(res, 200, {{"deleted", true}});
                  }));
}

} // namespace kestrune
