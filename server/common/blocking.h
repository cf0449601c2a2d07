#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "metrics.h"

#include <type_traits>

namespace kestrune
{

namespace asio = boost::asio;

// Runs `work` on the pool for blocking work and resumes with its result (or exception) on
// the calling coroutine's executor: no connection thread waits for a database or a hash.
template <class Work>
asio::awaitable<std::invoke_result_t<Work>> runBlocking(asio::thread_pool& pool, Work work)
{
    using Result = std::invoke_result_t<Work>;
    co_return co_await asio::co_spawn(
        pool,
        [work = std::move(work),
         queued = metrics::Stopwatch()]() mutable -> asio::awaitable<Result> {
            metrics::blockingQueueWaited(queued.elapsed());
            co_return work();
        },
        asio::use_awaitable);
}

} // namespace kestrune
