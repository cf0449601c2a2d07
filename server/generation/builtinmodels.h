#pragma once

#include "generation.h"

#include <string>

namespace kestrune
{

// Deterministic offline models: same request, same reply.
std::string showcaseReply(const GenerationRequest& request);
std::string echoReply(const GenerationRequest& request);

} // namespace kestrune
