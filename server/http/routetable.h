#pragma once

#include "http.h"

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kestrune
{

class StreamRoute; // a handler that streams its reply (streamroute.h)
class AsyncRoute;  // a handler that awaits other pools (streamroute.h)

// Every route of the service: method, path pattern ("/api/conversations/{id}": a placeholder
// takes one non-empty path segment) and handler. Routing, 404 and 405 with its Allow header
// all come from here.
class RouteTable
{
public:
    using Handler =
        std::variant<PlainHandler, std::shared_ptr<StreamRoute>, std::shared_ptr<AsyncRoute>>;

    void add(std::string method, std::string pattern, Handler handler);

    struct Match {
        const Handler* handler = nullptr; // null: no route for this request
        std::string pattern;              // of the route found
        std::vector<std::string> params;
        int status = 0;    // 404 or 405 when there is no handler
        std::string allow; // for 405: the methods the path does serve, e.g. "GET, PATCH"
    };
    Match find(std::string_view method, std::string_view path) const;

    // What an exception thrown by a handler becomes. The layer that knows the exceptions sets
    // it; without it every failure is a 500 with the generic text.
    using FailureReply = std::function<HttpResponse(const std::exception&, const HttpRequest&)>;
    void setFailureReply(FailureReply reply) { failure = std::move(reply); }
    HttpResponse failureReply(const std::exception& error, const HttpRequest& request) const;

private:
    struct Route {
        std::string method;
        std::string pattern;
        std::vector<std::string> segments; // "{}" for a placeholder
        Handler handler;
    };
    static bool matches(const Route& route, const std::vector<std::string_view>& segments,
                        std::vector<std::string>* params);

    std::vector<Route> routes;
    FailureReply failure;
};

} // namespace kestrune
