#pragma once

#include "http.h"

#include <nlohmann/json.hpp>

#include <string>

namespace kestrune
{

// Compact JSON; text that is not valid UTF-8 is replaced rather than refused.
std::string jsonText(const nlohmann::json& value);

// A JSON reply that no cache keeps.
HttpResponse jsonResponse(int status, const nlohmann::json& body);

// The service's error reply: {"error": message}.
HttpResponse errorResponse(int status, const std::string& message);

// The Chinese text of an error reply the service gives for `status` where no handler wrote one.
std::string defaultErrorText(int status);

} // namespace kestrune
