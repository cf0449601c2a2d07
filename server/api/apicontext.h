#pragma once

#include "accounts.h"
#include "conversations.h"
#include "mailer.h"
#include "models.h"
#include "points.h"

#include <atomic>
#include <functional>

namespace kestrune
{

// The domain objects the routes work on, alive for the whole run of the server.
struct ApiContext {
    Accounts& accounts;
    Conversations& conversations;
    ModelRegistry& models;
    Mailer& mailer;
    Points& points;
    int maxStreamsPerAccount;
    // Set on shutdown: running replies end, told why, without charging or storing anything.
    const std::atomic<bool>& stopping;
    // Set when a stop begins: load balancers are told to send requests elsewhere.
    const std::atomic<bool>& draining;
    // Whether the database takes a query now; cheap, never throws.
    std::function<bool()> databaseAnswers;
};

} // namespace kestrune
