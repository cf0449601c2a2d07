#include "routes.h"
#include "routetable.h"
#include "service.h"

namespace kestrune
{

using nlohmann::json;

void addModelRoutes(RouteTable& routes, Service& service)
{
    routes.add("GET", "/api/models", [&service](const HttpRequest& req) {
        requireUser(service, req);
        json models = json::array();
        for (const auto& model : service.models.list())
            models.push_back(modelJson(model));
        return jsonResponse(200, {{"models", models}});
    });
}

} // namespace kestrune
