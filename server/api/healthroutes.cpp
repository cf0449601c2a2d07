#include "apicontext.h"
#include "routes.h"
#include "routetable.h"

namespace kestrune
{

void addHealthRoutes(RouteTable& routes, ApiContext& api)
{
    // For process supervisors: the service runs and answers.
    routes.add("GET", "/healthz", [](const HttpRequest&) {
        return jsonResponse(200, {{"status", "alive"}});
    });

    // For load balancers: send requests here. Not while stopping, nor without the database.
    routes.add("GET", "/readyz", [&api](const HttpRequest&) {
        if (api.stopping || api.draining)
            return jsonResponse(503, {{"status", "stopping"}});
        if (!api.databaseAnswers())
            return jsonResponse(503, {{"status", "database unreachable"}});
        return jsonResponse(200, {{"status", "ready"}});
    });
}

} // namespace kestrune
