#include "streaming.h"

#include "text.h"

namespace kestrune
{

std::string sseEvent(std::string_view name, const nlohmann::json& data)
{
    std::string block = "event: ";
    block.append(name);
    block += "\ndata: ";
    block += data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    block += "\n\n";
    return block;
}

std::string_view ReplyBudget::admit(std::string_view fragment)
{
    if (cut)
        return {};
    const std::size_t n = codePointCount(fragment);
    if (n <= remaining) {
        remaining -= n;
        return fragment;
    }
    cut = true;
    const auto part = firstCodePoints(fragment, remaining);
    remaining = 0;
    return part;
}

} // namespace kestrune
