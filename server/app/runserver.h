#pragma once

#include "options.h"

namespace kestrune
{

// Runs the service until SIGINT or SIGTERM; returns the process exit code.
int runServer(const ServerOptions& options);

} // namespace kestrune
