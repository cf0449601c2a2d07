#pragma once

#include "accounts.h"
#include "http.h"
#include "requestbody.h"
#include "responses.h"

#include <string>

namespace boost::asio
{
class thread_pool;
}

namespace kestrune
{

struct ApiContext;
class RouteTable;
class PasswordHashing;

std::string bearerToken(const HttpRequest& req);
// The signed-in user of the request; refuses otherwise.
User requireUser(Accounts& accounts, const HttpRequest& req);

// The service's routes, by concern.
void addAccountRoutes(RouteTable& routes, ApiContext& api, boost::asio::thread_pool& blocking,
                      PasswordHashing& hashing);
void addModelRoutes(RouteTable& routes, ApiContext& api);
void addConversationRoutes(RouteTable& routes, ApiContext& api);
void addChatRoutes(RouteTable& routes, ApiContext& api, boost::asio::thread_pool& blocking);
void addHealthRoutes(RouteTable& routes, ApiContext& api);

// Every route of the service, and what their failures become. Ordinary requests and sign-ups'
// database steps run on `blocking`, replies' on `replies`, password hashes on `hashing`.
void addServiceRoutes(RouteTable& routes, ApiContext& api, boost::asio::thread_pool& blocking,
                      boost::asio::thread_pool& replies, PasswordHashing& hashing);

} // namespace kestrune
