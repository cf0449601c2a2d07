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
struct ModelInfo;

// Produces the reply of `model`: a built-in one piece by piece with the configured pause
// between pieces (a timer, not a sleeping thread), an upstream one relayed as it arrives.
boost::asio::awaitable<GenerationOutcome> generateReply(const ModelRegistry& models,
                                                        const ModelInfo& model,
                                                        const GenerationRequest& request,
                                                        const AsyncEmit& emit);

} // namespace kestrune
