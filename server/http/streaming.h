#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace kestrune
{

// One server-sent-event block: "event: NAME\ndata: JSON\n\n". The JSON is compact, so it never
// contains a line break.
std::string sseEvent(std::string_view name, const nlohmann::json& data);

} // namespace kestrune
