#pragma once

#include <stdexcept>
#include <string>

namespace kestrune
{

// Why a request was refused, in the domain's own words; the API layer alone turns a kind into
// an HTTP status.
enum class RefusalKind {
    invalid,      // the request itself is wrong: a missing field, a bad value
    notSignedIn,  // no valid session, or wrong credentials
    outOfPoints,  // the balance pays for nothing more
    limitReached, // the account holds as much as it may
    notFound,     // no such thing for this account
    conflict,     // the request clashes with what is stored
    expired,      // it existed but is no longer valid
    tooLarge,     // a field longer than the service takes
    tooFrequent,  // too many attempts or requests of this kind for now
    busy,         // the service has no room for it at the moment
};

// A request refused for a reason the user can act on, with a short Chinese text that the
// client shows verbatim.
class Refusal : public std::runtime_error
{
public:
    Refusal(RefusalKind kind, const std::string& message) : std::runtime_error(message), kind(kind)
    {
    }
    RefusalKind kind;
};

} // namespace kestrune
