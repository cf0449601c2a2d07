#include "streaming.h"

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

} // namespace kestrune
