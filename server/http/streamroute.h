#pragma once

// Routes that stream their reply or await other pools. The only route-side header that brings
// in Asio: plain routes stay free of it.

#include "http.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <string>
#include <utility>
#include <vector>

namespace kestrune
{

namespace asio = boost::asio;

// The connection a streamed reply goes out on, as a stream route sees it.
class ResponseStream
{
public:
    virtual ~ResponseStream() = default;
    // Sends the head of a chunked reply; once, before the first write.
    virtual asio::awaitable<void>
    start(int status, std::string contentType,
          std::vector<std::pair<std::string, std::string>> headers) = 0;
    // Sends one piece; false when the client has gone (the reply then ends).
    virtual asio::awaitable<bool> write(std::string data) = 0;
    // Ends the reply.
    virtual asio::awaitable<void> finish() = 0;
    // While the reply waits on its model (not while it writes), a stopping server may interrupt
    // the wait: the model's next step then fails with operation_aborted.
    virtual void waitingOnModel(bool waiting) = 0;
};

class StreamRoute
{
public:
    virtual ~StreamRoute() = default;
    // A Refusal thrown before start() becomes the JSON error reply; after it, the connection
    // is closed.
    virtual asio::awaitable<void> serve(HttpRequest request, ResponseStream& out) = 0;
};

// A route that answers with one ordinary reply but waits on other pools on the way (the
// password-hashing pool): it holds no thread while it waits.
class AsyncRoute
{
public:
    virtual ~AsyncRoute() = default;
    // A Refusal thrown becomes the JSON error reply.
    virtual asio::awaitable<HttpResponse> answer(HttpRequest request) = 0;
};

} // namespace kestrune
