// The service's request reading: routing a method and path through a route table of the
// service's shapes, and reading a body as the handlers do. The input is
// "METHOD PATH\nBODY".

#include "refusal.h"
#include "requestbody.h"
#include "routetable.h"
#include "text.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace
{

const kestrune::RouteTable& routes()
{
    static const kestrune::RouteTable table = [] {
        kestrune::RouteTable t;
        const kestrune::PlainHandler none = [](const kestrune::HttpRequest&) {
            return kestrune::HttpResponse{};
        };
        for (const char* pattern : {"/api/auth/login", "/api/auth/register", "/api/auth/verify",
                                    "/api/auth/logout", "/api/me", "/api/models"})
            t.add("POST", pattern, none);
        t.add("GET", "/api/me", none);
        t.add("GET", "/api/models", none);
        t.add("GET", "/api/conversations", none);
        t.add("POST", "/api/conversations", none);
        t.add("GET", "/api/conversations/{id}", none);
        t.add("PATCH", "/api/conversations/{id}", none);
        t.add("DELETE", "/api/conversations/{id}", none);
        t.add("POST", "/api/chat/stream", none);
        return t;
    }();
    return table;
}

std::size_t placeholders(std::string_view path)
{
    return path.starts_with("/api/conversations/") ? 1 : 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto lineEnd = input.find('\n');
    const std::string_view head = input.substr(0, lineEnd);
    const auto space = head.find(' ');
    const std::string_view method = head.substr(0, space);
    const std::string_view path = space == std::string_view::npos ? "" : head.substr(space + 1);

    const kestrune::RouteTable::Match match = routes().find(method, path);
    if (match.handler) {
        if (match.status != 0 || match.params.size() != placeholders(path))
            std::abort();
        for (const std::string& param : match.params) {
            if (param.empty() || param.find('/') != std::string::npos)
                std::abort();
        }
    } else if (!((match.status == 404 && match.allow.empty()) ||
                 (match.status == 405 && !match.allow.empty()))) {
        std::abort();
    }

    kestrune::HttpRequest request;
    request.body = lineEnd == std::string_view::npos ? "" : std::string(input.substr(lineEnd + 1));
    try {
        const nlohmann::json body = kestrune::objectBody(request);
        for (const char* key : {"title", "message", "username", "password", "code"}) {
            try {
                const std::string text = kestrune::stringField(body, key);
                // Accepted strings are valid UTF-8: the text helpers may rely on it.
                const std::string title = kestrune::normalizedTitle(text, 64);
                if (kestrune::codePointCount(title) > 64)
                    std::abort();
                (void)kestrune::titleFromPrompt(text);
                (void)kestrune::trimmed(text);
            } catch (const kestrune::Refusal& refusal) {
                if (refusal.kind != kestrune::RefusalKind::invalid)
                    std::abort();
            }
        }
    } catch (const kestrune::Refusal& refusal) {
        if (refusal.kind != kestrune::RefusalKind::invalid)
            std::abort();
    }
    return 0;
}
