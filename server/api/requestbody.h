#pragma once

#include "http.h"

#include <nlohmann/json.hpp>

#include <string>

namespace kestrune
{

// The request body as a JSON object; refuses anything else with 400.
nlohmann::json objectBody(const HttpRequest& req);
// A string member of the body; refuses a missing key or another type with 400.
std::string stringField(const nlohmann::json& body, const char* key);

} // namespace kestrune
