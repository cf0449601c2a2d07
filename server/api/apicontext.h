#pragma once

#include "accounts.h"
#include "conversations.h"
#include "models.h"
#include "outbox.h"
#include "points.h"

#include <atomic>

namespace kestrune
{

// The domain objects the routes work on, alive for the whole run of the server.
struct ApiContext {
    Accounts& accounts;
    Conversations& conversations;
    ModelRegistry& models;
    Outbox& outbox;
    Points& points;
    int maxStreamsPerAccount;
    // Set on shutdown: running replies end, told why, without charging or storing anything.
    const std::atomic<bool>& stopping;
};

} // namespace kestrune
