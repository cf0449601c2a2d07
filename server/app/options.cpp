#include "options.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace kestrune
{

std::optional<ListenAddress> parseListen(std::string_view text)
{
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == text.size())
        return std::nullopt;
    std::string_view host = text.substr(0, colon), port = text.substr(colon + 1);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']')
            return std::nullopt;
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string_view::npos) {
        return std::nullopt; // a bare IPv6 address needs brackets
    }
    int value = -1;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (ec != std::errc() || end != port.data() + port.size() || value < 0 || value > 65535)
        return std::nullopt;
    return ListenAddress{std::string(host), value};
}

int defaultMaxConnections(std::uint64_t openFiles)
{
    constexpr std::uint64_t reserved = 128;
    const std::uint64_t spare = openFiles > reserved ? (openFiles - reserved) / 2 : 0;
    return static_cast<int>(std::clamp<std::uint64_t>(spare, 16, 65536));
}

std::filesystem::path defaultDataDir()
{
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
        return std::filesystem::path(xdg) / "kestrune-server";
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::filesystem::path(home) / ".local/share/kestrune-server";
    return "kestrune-data";
}

} // namespace kestrune
