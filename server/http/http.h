#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrune
{

// The largest request body the service reads.
inline constexpr std::size_t maxBodyBytes = 1024 * 1024;

// One request as the route handlers see it, independent of the HTTP library.
struct HttpRequest {
    std::string method;
    std::string path;                                         // without the query
    std::string query;                                        // after "?", as sent
    std::vector<std::pair<std::string, std::string>> headers; // names in lower case
    std::string body;
    std::string clientAddress;
    std::vector<std::string> params; // the {placeholders} of the route, in order

    // The first header of that (case-insensitive) name, or empty.
    std::string header(std::string_view name) const;
    // The first query parameter of that name, percent-decoded ("+" as a space), or empty.
    std::string queryValue(std::string_view name) const;
};

struct HttpResponse {
    int status = 200;
    std::string contentType = "application/json; charset=utf-8";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

// Answers a request completely; may block (database, password hashing): it runs on the
// pool for blocking work, never on a thread that serves connections.
using PlainHandler = std::function<HttpResponse(const HttpRequest&)>;

} // namespace kestrune
