#pragma once

#include "generation.h"

#include <boost/asio/awaitable.hpp>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune
{

class ModelRegistry;
class UpstreamClient;
struct ModelInfo;

// Receives each fragment of a reply as it is produced; returns false to stop the generation
// (client gone, balance spent, server stopping).
using AsyncEmit = std::function<boost::asio::awaitable<bool>(std::string_view fragment)>;

// Produces the reply of `model`: a built-in one piece by piece with the configured pause
// between pieces (a timer, not a sleeping thread), an upstream one relayed as it arrives.
boost::asio::awaitable<GenerationOutcome> generateReply(const ModelRegistry& models,
                                                        const ModelInfo& model,
                                                        const GenerationRequest& request,
                                                        const AsyncEmit& emit);

// Streams a chat completion of the upstream server (POST /v1/chat/completions with
// "stream": true) over plain HTTP or HTTPS, passing each text fragment to `emit`.
boost::asio::awaitable<GenerationOutcome> streamUpstreamChat(const UpstreamClient& upstream,
                                                             const std::string& model,
                                                             const std::vector<ChatTurn>& messages,
                                                             const AsyncEmit& emit);

} // namespace kestrune
