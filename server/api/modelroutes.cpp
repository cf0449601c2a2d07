#include "apicontext.h"
#include "routes.h"
#include "routetable.h"

namespace kestrune
{

using nlohmann::json;

void addModelRoutes(RouteTable& routes, ApiContext& api)
{
    routes.add("GET", "/api/models", [&api](const HttpRequest& req) {
        requireUser(api.accounts, req);
        json models = json::array();
        for (const auto& model : api.models.list())
            models.push_back(modelJson(model));
        return jsonResponse(200, {{"models", models}});
    });
}

} // namespace kestrune
