#include "routetable.h"

#include "responses.h"

namespace kestrune
{
namespace
{

std::vector<std::string_view> splitPath(std::string_view path)
{
    std::vector<std::string_view> segments;
    if (path.empty() || path.front() != '/')
        return {};
    path.remove_prefix(1);
    for (;;) {
        const auto slash = path.find('/');
        segments.push_back(path.substr(0, slash));
        if (slash == std::string_view::npos)
            return segments;
        path.remove_prefix(slash + 1);
    }
}

} // namespace

void RouteTable::add(std::string method, std::string pattern, Handler handler)
{
    Route route{std::move(method), pattern, {}, std::move(handler)};
    for (std::string_view segment : splitPath(pattern))
        route.segments.emplace_back(segment.starts_with('{') ? "{}" : std::string(segment));
    routes.push_back(std::move(route));
}

bool RouteTable::matches(const Route& route, const std::vector<std::string_view>& segments,
                         std::vector<std::string>* params)
{
    if (route.segments.size() != segments.size())
        return false;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        if (route.segments[i] == "{}") {
            if (segments[i].empty())
                return false;
            if (params)
                params->emplace_back(segments[i]);
        } else if (route.segments[i] != segments[i]) {
            return false;
        }
    }
    return true;
}

RouteTable::Match RouteTable::find(std::string_view method, std::string_view path) const
{
    const auto segments = splitPath(path);
    Match match;
    for (const Route& route : routes) {
        if (!matches(route, segments, nullptr))
            continue;
        if (route.method == method) {
            match.handler = &route.handler;
            match.pattern = route.pattern;
            match.allow.clear();
            matches(route, segments, &match.params);
            return match;
        }
        if (match.allow.find(route.method) == std::string::npos)
            match.allow += (match.allow.empty() ? "" : ", ") + route.method;
    }
    match.status = match.allow.empty() ? 404 : 405;
    return match;
}

HttpResponse RouteTable::failureReply(const std::exception& error, const HttpRequest& request) const
{
    if (failure)
        return failure(error, request);
    return errorResponse(500, defaultErrorText(500));
}

} // namespace kestrune
