#include "metrics.h"

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

#include <string>

namespace kestrune::metrics
{
namespace
{

using prometheus::BuildCounter;
using prometheus::BuildGauge;
using prometheus::BuildHistogram;
using prometheus::Histogram;

// Short waits (locks, queues, statements) and whole requests, streamed replies included.
const Histogram::BucketBoundaries shortBuckets{0.0001, 0.0005, 0.001, 0.005, 0.01, 0.025,
                                               0.05,   0.1,    0.25,  0.5,   1,    2.5};
const Histogram::BucketBoundaries requestBuckets{0.001, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5,
                                                 1,     2.5,   5,    10,    30,   60,  120,  300};

struct Instruments {
    std::shared_ptr<prometheus::Registry> registry = std::make_shared<prometheus::Registry>();
    prometheus::Family<prometheus::Counter>& requests =
        BuildCounter()
            .Name("kestrune_http_requests_total")
            .Help("Requests answered, by route pattern and status")
            .Register(*registry);
    prometheus::Family<prometheus::Histogram>& requestSeconds =
        BuildHistogram()
            .Name("kestrune_http_request_duration_seconds")
            .Help("Time from a request's head to the end of its reply, by route pattern")
            .Register(*registry);
    prometheus::Gauge& connections = BuildGauge()
                                         .Name("kestrune_open_connections")
                                         .Help("Client connections open now")
                                         .Register(*registry)
                                         .Add({});
    prometheus::Gauge& streams = BuildGauge()
                                     .Name("kestrune_open_reply_streams")
                                     .Help("Replies streaming now")
                                     .Register(*registry)
                                     .Add({});
    prometheus::Counter& points = BuildCounter()
                                      .Name("kestrune_points_charged_total")
                                      .Help("Points charged for replies")
                                      .Register(*registry)
                                      .Add({});
    prometheus::Family<prometheus::Counter>& upstream =
        BuildCounter()
            .Name("kestrune_upstream_requests_total")
            .Help("Requests to the upstream model server, by outcome")
            .Register(*registry);
    prometheus::Histogram& upstreamSeconds =
        BuildHistogram()
            .Name("kestrune_upstream_duration_seconds")
            .Help("Time of a request to the upstream model server, to its last fragment")
            .Register(*registry)
            .Add({}, requestBuckets);
    prometheus::Histogram& lockWait = BuildHistogram()
                                          .Name("kestrune_database_lock_wait_seconds")
                                          .Help("Time waited for the database's writing connection")
                                          .Register(*registry)
                                          .Add({}, shortBuckets);
    prometheus::Histogram& statementSeconds = BuildHistogram()
                                                  .Name("kestrune_database_statement_seconds")
                                                  .Help("Time of one step of a database statement")
                                                  .Register(*registry)
                                                  .Add({}, shortBuckets);
    prometheus::Counter& calls =
        BuildCounter()
            .Name("kestrune_database_calls_total")
            .Help("Statements sent to the database (on PostgreSQL each is a network round trip)")
            .Register(*registry)
            .Add({});
    prometheus::Histogram& queueWait =
        BuildHistogram()
            .Name("kestrune_blocking_queue_wait_seconds")
            .Help("Time a job waited for a thread of a pool for blocking work")
            .Register(*registry)
            .Add({}, shortBuckets);
};

Instruments& instruments()
{
    static Instruments all;
    return all;
}

} // namespace

void requestServed(std::string_view route, int status, Seconds duration)
{
    auto& all = instruments();
    const std::string pattern(route);
    all.requests.Add({{"route", pattern}, {"status", std::to_string(status)}}).Increment();
    all.requestSeconds.Add({{"route", pattern}}, requestBuckets).Observe(duration.count());
}

void connectionOpened()
{
    instruments().connections.Increment();
}

void connectionClosed()
{
    instruments().connections.Decrement();
}

void replyStreamOpened()
{
    instruments().streams.Increment();
}

void replyStreamClosed()
{
    instruments().streams.Decrement();
}

void pointsCharged(std::int64_t points)
{
    instruments().points.Increment(static_cast<double>(points));
}

void upstreamFinished(bool failed, Seconds duration)
{
    auto& all = instruments();
    all.upstream.Add({{"outcome", failed ? "error" : "ok"}}).Increment();
    all.upstreamSeconds.Observe(duration.count());
}

void databaseLockWaited(Seconds wait)
{
    instruments().lockWait.Observe(wait.count());
}

void databaseStatement(Seconds duration)
{
    instruments().statementSeconds.Observe(duration.count());
}

void databaseCall()
{
    instruments().calls.Increment();
}

void blockingQueueWaited(Seconds wait)
{
    instruments().queueWait.Observe(wait.count());
}

std::shared_ptr<prometheus::Registry> registry()
{
    return instruments().registry;
}

} // namespace kestrune::metrics
