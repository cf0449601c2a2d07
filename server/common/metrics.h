#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>

namespace prometheus
{
class Registry;
}

namespace kestrune::metrics
{

using Seconds = std::chrono::duration<double>;

// What the service counts for its operators, exposed by --metrics-listen. Every call is cheap
// and safe from any thread; the figures are kept whether or not anyone reads them.

// A request answered: its route pattern ("unmatched" for none), status and duration. A streamed
// reply counts when it ends.
void requestServed(std::string_view route, int status, Seconds duration);
void connectionOpened();
void connectionClosed();
void replyStreamOpened();
void replyStreamClosed();
void pointsCharged(std::int64_t points);
// One request to the upstream model server, from its start to its last fragment.
void upstreamFinished(bool failed, Seconds duration);
// Time waited for the database's writing connection, and one statement's execution.
void databaseLockWaited(Seconds wait);
void databaseStatement(Seconds duration);
// One statement sent to the database engine; on PostgreSQL, one network round trip.
void databaseCall();
// Time a job waited for a thread of a pool for blocking work.
void blockingQueueWaited(Seconds wait);

// The registry that holds it all, for the exposer.
std::shared_ptr<prometheus::Registry> registry();

// Measures from construction; `elapsed()` reads the time since.
class Stopwatch
{
public:
    Seconds elapsed() const { return std::chrono::steady_clock::now() - start; }

private:
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};

} // namespace kestrune::metrics
