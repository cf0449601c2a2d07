#pragma once

#include "blocking.h"

#include <boost/asio/thread_pool.hpp>

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace kestrune
{

// Password hashes (argon2id: tens of milliseconds and 64 MiB each) on threads of their own, so
// that a flood of sign-ins never queues the other requests behind it. The queue is bounded per
// client address and in all: beyond it a sign-in is refused at once instead of waiting.
class PasswordHashing
{
public:
    static constexpr std::size_t perAddress = 4; // running or waiting
    static constexpr std::size_t inAll = 256;

    explicit PasswordHashing(std::size_t threads) : queue(std::make_shared<Queue>()), pool(threads)
    {
    }

    // Runs `work` (a hash or its check) on the hashing threads; throws a Refusal when the
    // address or the service has too many waiting.
    template <class Work>
    asio::awaitable<std::invoke_result_t<Work>> run(const std::string& address, Work work)
    {
        const Ticket ticket(queue, address);
        co_return co_await runBlocking(pool, std::move(work));
    }

    // Abandons the hashes not yet started and waits for those running.
    void stop()
    {
        pool.stop();
        pool.join();
    }

private:
    // Shared with the tickets: a request dropped at shutdown may give its ticket back after
    // the hashing threads are gone.
    struct Queue {
        std::mutex mutex;
        std::size_t waiting = 0;
        std::unordered_map<std::string, std::size_t> waitingPerAddress;
    };

    class Ticket
    {
    public:
        Ticket(std::shared_ptr<Queue> queue, const std::string& address);
        ~Ticket();
        Ticket(const Ticket&) = delete;
        Ticket& operator=(const Ticket&) = delete;

    private:
        std::shared_ptr<Queue> queue;
        std::string address;
    };

    std::shared_ptr<Queue> queue;
    asio::thread_pool pool;
};

} // namespace kestrune
