#pragma once

#include "http.h"
#include "refusal.h"

#include <exception>

namespace kestrune
{

// The HTTP status of a refusal: the only place where a domain's reason becomes a status.
int httpStatus(RefusalKind kind);

// What a failed request becomes: a refusal its JSON error reply, a database that cannot take
// the write (disk full, busy) a 503 that says so, anything else a 500 with a generic text (the
// details go to the log only).
HttpResponse failureResponse(const std::exception& failure, const HttpRequest& request);

} // namespace kestrune
