#pragma once

#include "accounts.h"
#include "http.h"
#include "requestbody.h"

#include <nlohmann/json.hpp>

#include <string>

namespace boost::asio
{
class thread_pool;
}

namespace kestrune
{

struct Service;
class RouteTable;
class PasswordHashing;

std::string jsonText(const nlohmann::json& value);
HttpResponse jsonResponse(int status, const nlohmann::json& body);

std::string bearerToken(const HttpRequest& req);
// The signed-in user of the request; refuses with 401 otherwise.
User requireUser(Service& service, const HttpRequest& req);

// The service's routes, by concern.
void addAccountRoutes(RouteTable& routes, Service& service, boost::asio::thread_pool& blocking,
                      PasswordHashing& hashing);
void addModelRoutes(RouteTable& routes, Service& service);
void addConversationRoutes(RouteTable& routes, Service& service);
void addChatRoutes(RouteTable& routes, Service& service, boost::asio::thread_pool& blocking);

} // namespace kestrune
