#include "requestbody.h"

#include "errortexts.h"
#include "refusal.h"

namespace kestrune
{

using nlohmann::json;

json objectBody(const HttpRequest& req)
{
    json body = json::parse(req.body, nullptr, false);
    if (body.is_discarded())
        throw Refusal(RefusalKind::invalid, errortext::notJson);
    if (!body.is_object())
        throw Refusal(RefusalKind::invalid, errortext::notJsonObject);
    return body;
}

std::string stringField(const json& body, const char* key)
{
    const auto it = body.find(key);
    if (it == body.end())
        throw Refusal(RefusalKind::invalid, errortext::missingField(key));
    if (!it->is_string())
        throw Refusal(RefusalKind::invalid, errortext::fieldNotString(key));
    return it->get<std::string>();
}

} // namespace kestrune
