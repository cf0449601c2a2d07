#include "apicontext.h"
#include "errortexts.h"
#include "refusal.h"
#include "routes.h"
#include "routetable.h"
#include "search.h"
#include "text.h"

#include <charconv>

namespace kestrune
{

using nlohmann::json;

void addConversationRoutes(RouteTable& routes, ApiContext& api)
{
    routes.add("GET", "/api/conversations", [&api](const HttpRequest& req) {
        const User user = requireUser(api.accounts, req);
        json list = json::array();
        for (const auto& c : api.conversations.list(user.id))
            list.push_back(conversationJson(c));
        return jsonResponse(200, {{"conversations", list}});
    });

    routes.add("POST", "/api/conversations", [&api](const HttpRequest& req) {
        const User user = requireUser(api.accounts, req);
        const json body = objectBody(req);
        const std::string model = stringField(body, "model");
        if (!api.models.find(model))
            throw Refusal(RefusalKind::invalid, errortext::modelUnavailable);
        return jsonResponse(
            201, {{"conversation", conversationJson(api.conversations.create(user.id, model))}});
    });

    routes.add("GET", "/api/conversations/{id}", [&api](const HttpRequest& req) {
        const User user = requireUser(api.accounts, req);
        const auto c = api.conversations.find(user.id, req.params.at(0));
        if (!c)
            throw Refusal(RefusalKind::notFound, errortext::conversationNotFound);
        json messages = json::array();
        for (const auto& m : api.conversations.messages(c->id))
            messages.push_back(messageJson(m));
        return jsonResponse(200, {{"conversation", conversationJson(*c)}, {"messages", messages}});
    });

    routes.add("PATCH", "/api/conversations/{id}", [&api](const HttpRequest& req) {
        const User user = requireUser(api.accounts, req);
        const json body = objectBody(req);
        const std::string title = stringField(body, "title");
        if (normalizedTitle(title, Conversations::maxTitleLength).empty())
            throw Refusal(RefusalKind::invalid, errortext::emptyTitle);
        const auto stored = api.conversations.rename(user.id, req.params.at(0), title);
        if (!stored)
            throw Refusal(RefusalKind::notFound, errortext::conversationNotFound);
        return jsonResponse(200, {{"title", *stored}});
    });

    // Beyond what the client relies on: its search asks, and does without on a 404.
    routes.add("GET", "/api/search", [&api](const HttpRequest& req) {
        const User user = requireUser(api.accounts, req);
        const std::string query = trimmed(req.queryValue("q"));
        if (query.empty())
            throw Refusal(RefusalKind::invalid, errortext::emptySearch);
        if (codePointCount(query) > maxSearchQueryCodePoints)
            throw Refusal(RefusalKind::invalid, errortext::searchTooLong);
        std::size_t limit = defaultSearchResults;
        if (const std::string text = req.queryValue("limit"); !text.empty()) {
            const auto [end, error] =
                std::from_chars(text.data(), text.data() + text.size(), limit);
            if (error != std::errc() || end != text.data() + text.size() || limit == 0)
                throw Refusal(RefusalKind::invalid, errortext::badSearchLimit);
            limit = std::min(limit, maxSearchResults);
        }
        json results = json::array();
        for (const SearchHit& hit : api.conversations.search(user.id, query, limit))
            results.push_back(searchHitJson(hit));
        return jsonResponse(200, {{"results", results}});
    });

    routes.add("DELETE", "/api/conversations/{id}", [&api](const HttpRequest& req) {
        const User user = requireUser(api.accounts, req);
        if (!api.conversations.remove(user.id, req.params.at(0)))
            throw Refusal(RefusalKind::notFound, errortext::conversationNotFound);
        return jsonResponse(200, {{"deleted", true}});
    });
}

} // namespace kestrune
