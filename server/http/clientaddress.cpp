#include "clientaddress.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>

namespace kestrune
{
namespace
{

constexpr unsigned char mappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool isMappedIpv4(const std::array<unsigned char, 16>& bytes)
{
    return std::memcmp(bytes.data(), mappedPrefix, sizeof mappedPrefix) == 0;
}

std::string_view trimmedView(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// A hop of "X-Forwarded-For" as some proxies write it: "[v6]:port" or "v4:port" lose the port.
std::string_view withoutPort(std::string_view hop)
{
    if (hop.starts_with('[')) {
        const auto close = hop.find(']');
        return close == std::string_view::npos ? hop : hop.substr(1, close - 1);
    }
    const auto colon = hop.find(':');
    if (colon != std::string_view::npos && hop.find(':', colon + 1) == std::string_view::npos &&
        hop.find('.') != std::string_view::npos)
        return hop.substr(0, colon);
    return hop;
}

} // namespace

std::optional<IpAddress> parseIpAddress(std::string_view text)
{
    if (text.empty() || text.size() > 64)
        return std::nullopt;
    const std::string copy(text);
    IpAddress address;
    unsigned char v4[4];
    if (inet_pton(AF_INET, copy.c_str(), v4) == 1) {
        std::memcpy(address.bytes.data(), mappedPrefix, sizeof mappedPrefix);
        std::memcpy(address.bytes.data() + 12, v4, 4);
    } else if (inet_pton(AF_INET6, copy.c_str(), address.bytes.data()) != 1) {
        return std::nullopt;
    }
    char buffer[INET6_ADDRSTRLEN];
    if (isMappedIpv4(address.bytes))
        inet_ntop(AF_INET, address.bytes.data() + 12, buffer, sizeof buffer);
    else
        inet_ntop(AF_INET6, address.bytes.data(), buffer, sizeof buffer);
    address.text = buffer;
    return address;
}

std::optional<TrustedProxies> TrustedProxies::parse(const std::vector<std::string>& entries,
                                                    std::string& error)
{
    TrustedProxies proxies;
    for (const std::string& entry : entries) {
        const auto slash = entry.find('/');
        const auto address = parseIpAddress(std::string_view(entry).substr(0, slash));
        if (!address) {
            error = "--trusted-proxy: not an IP address: " + entry;
            return std::nullopt;
        }
        const bool v4 = isMappedIpv4(address->bytes) && entry.find(':') == std::string::npos;
        const int width = v4 ? 32 : 128;
        int prefix = width;
        if (slash != std::string::npos) {
            const char* first = entry.data() + slash + 1;
            const char* last = entry.data() + entry.size();
            const auto [end, ec] = std::from_chars(first, last, prefix);
            if (ec != std::errc() || end != last || first == last || prefix < 0 || prefix > width) {
                error = "--trusted-proxy: the prefix must be 0 to " + std::to_string(width) + ": " +
                        entry;
                return std::nullopt;
            }
        }
        proxies.networks.push_back({*address, v4 ? prefix + 96 : prefix});
    }
    return proxies;
}

bool TrustedProxies::contains(const IpAddress& address) const
{
    for (const Network& network : networks) {
        const int whole = network.prefix / 8, rest = network.prefix % 8;
        if (std::memcmp(address.bytes.data(), network.base.bytes.data(),
                        static_cast<std::size_t>(whole)) != 0)
            continue;
        if (rest == 0)
            return true;
        const auto mask = static_cast<unsigned char>(0xff << (8 - rest));
        if ((address.bytes[static_cast<std::size_t>(whole)] & mask) ==
            (network.base.bytes[static_cast<std::size_t>(whole)] & mask))
            return true;
    }
    return false;
}

bool TrustedProxies::contains(std::string_view address) const
{
    const auto parsed = parseIpAddress(address);
    return parsed && contains(*parsed);
}

std::string TrustedProxies::clientAddress(std::string_view peer,
                                          std::string_view forwardedFor) const
{
    const auto peerAddress = parseIpAddress(peer);
    if (networks.empty() || !peerAddress || !contains(*peerAddress))
        return std::string(peer);
    // From the nearest hop outwards: each trusted proxy vouches for the hop before it.
    std::string client = peerAddress->text;
    while (!forwardedFor.empty()) {
        const auto comma = forwardedFor.rfind(',');
        const std::string_view hop = trimmedView(
            comma == std::string_view::npos ? forwardedFor : forwardedFor.substr(comma + 1));
        forwardedFor =
            comma == std::string_view::npos ? std::string_view() : forwardedFor.substr(0, comma);
        const auto address = parseIpAddress(withoutPort(hop));
        if (!address)
            return client; // garbage is no address: stay with the last hop that vouched
        client = address->text;
        if (!contains(*address))
            return client;
    }
    return client;
}

} // namespace kestrune
