#pragma once

#include "accounts.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <string>

namespace kestrune
{

struct Service;

inline constexpr std::size_t maxBodyBytes = 1024 * 1024;

std::string jsonText(const nlohmann::json& value);
void sendJson(httplib::Response& res, int status, const nlohmann::json& body);
void sendError(httplib::Response& res, int status, const std::string& message);

// The request body as a JSON object; refuses anything else with 400.
nlohmann::json objectBody(const httplib::Request& req);
// A string member of the body; refuses a missing key or another type with 400.
std::string stringField(const nlohmann::json& body, const char* key);

std::string bearerToken(const httplib::Request& req);
// The signed-in user of the request; refuses with 401 otherwise.
User requireUser(Service& service, const httplib::Request& req);

// Wraps a handler so that a Refusal becomes its JSON error reply and any other exception a
// 500 with a generic text (details go to the log only).
httplib::Server::Handler
guarded(std::function<void(const httplib::Request&, httplib::Response&)> fn);

void addAccountRoutes(httplib::Server& server, Service& service);
void addConversationRoutes(httplib::Server& server, Service& service);
void addChatRoutes(httplib::Server& server, Service& service);

// True when some method is served at this path (so a 404 there is really a 405).
bool isKnownPath(const std::string& path);

} // namespace kestrune
