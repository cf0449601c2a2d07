#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrune
{

// One server-sent-event block: "event: NAME\ndata: JSON\n\n". The JSON is compact, so it never
// contains a line break.
std::string sseEvent(std::string_view name, const nlohmann::json& data);

// Passes reply fragments on while they fit into a character budget; the fragment that crosses
// the budget is cut at a code-point boundary and the reply marked truncated.
class ReplyBudget
{
public:
    explicit ReplyBudget(std::size_t maxCharacters) : remaining(maxCharacters) {}

    // The part of `fragment` that may still be sent (possibly empty).
    std::string_view admit(std::string_view fragment);
    bool truncated() const { return cut; }

private:
    std::size_t remaining;
    bool cut = false;
};

} // namespace kestrune
