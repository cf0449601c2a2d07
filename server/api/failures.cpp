#include "failures.h"

#include "errortexts.h"
#include "responses.h"
#include "storage.h"
#include "text.h"

#include <iostream>

namespace kestrune
{

int httpStatus(RefusalKind kind)
{
    switch (kind) {
    case RefusalKind::invalid:
        return 400;
    case RefusalKind::notSignedIn:
        return 401;
    case RefusalKind::outOfPoints:
        return 402;
    case RefusalKind::limitReached:
        return 403;
    case RefusalKind::notFound:
        return 404;
    case RefusalKind::conflict:
        return 409;
    case RefusalKind::expired:
        return 410;
    case RefusalKind::tooLarge:
        return 413;
    case RefusalKind::tooFrequent:
        return 429;
    case RefusalKind::busy:
        return 503;
    }
    return 500;
}

HttpResponse failureResponse(const std::exception& failure, const HttpRequest& request)
{
    if (const auto* refusal = dynamic_cast<const Refusal*>(&failure))
        return errorResponse(httpStatus(refusal->kind), refusal->what());
    std::cerr << "error: " << request.method << " " << printable(request.path) << ": "
              << failure.what() << "\n";
    if (const auto* db = dynamic_cast<const DbError*>(&failure); db && db->isTransient())
        return errorResponse(503, errortext::storageUnavailable);
    return errorResponse(500, defaultErrorText(500));
}

} // namespace kestrune
