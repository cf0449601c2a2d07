#pragma once

#include "accounts.h"
#include "apicontext.h"
#include "conversations.h"
#include "mailer.h"
#include "models.h"
#include "options.h"
#include "points.h"
#include "storage.h"

#include <atomic>
#include <memory>

namespace kestrune
{

// Everything a request handler needs, alive for the whole run of the server.
struct Service {
    explicit Service(const ServerOptions& options);

    ServerOptions options;
    Database db;
    Accounts accounts;
    Conversations conversations;
    ModelRegistry models;
    std::unique_ptr<Mailer> mailer;
    Points points;
    // Set when a stop begins: /readyz turns load balancers away while requests still run.
    std::atomic<bool> draining{false};
    // Set on shutdown: running replies end, told why, without charging or storing anything.
    std::atomic<bool> stopping{false};

    // What the routes see of it.
    ApiContext api();
};

// Creates the data folder (owner-only: it holds password hashes and the outbox) and returns
// where the database is.
DatabaseUrl prepareDataDir(const ServerOptions& options);

} // namespace kestrune
