#pragma once

#include <stdexcept>
#include <string>

namespace kestrune
{

// A request refused for a reason the user can act on: HTTP status and a short Chinese text
// that the client shows verbatim.
class Refusal : public std::runtime_error
{
public:
    Refusal(int status, const std::string& message) : std::runtime_error(message), status(status) {}
    int status;
};

} // namespace kestrune
