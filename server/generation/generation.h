#pragma once

#include <boost/asio/awaitable.hpp>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune
{

struct ChatTurn {
    std::string role;
    std::string content;
};

struct GenerationRequest {
    std::string prompt;
    std::vector<ChatTurn> history; // earlier turns, oldest first, without the prompt
    bool privateMode = false;
};

struct GenerationOutcome {
    bool failed = false;
    std::string error; // Chinese text for the client when failed
};

// Receives each fragment of a reply as it is produced; returns false to stop the generation
// (client gone, balance spent, server stopping).
using AsyncEmit = std::function<boost::asio::awaitable<bool>(std::string_view fragment)>;

} // namespace kestrune
