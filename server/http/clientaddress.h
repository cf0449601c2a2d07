#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune
{

// An IPv4 or IPv6 address as 16 bytes (IPv4 as its IPv4-mapped IPv6 form, so that both spellings
// of one peer compare equal), with its canonical text.
struct IpAddress {
    std::array<unsigned char, 16> bytes{};
    std::string text;
};
std::optional<IpAddress> parseIpAddress(std::string_view text);

// Reverse proxies whose "X-Forwarded-For" is believed (--trusted-proxy ADDRESS/PREFIX ...).
// Without any, the header is ignored: anyone can write it.
class TrustedProxies
{
public:
    // "10.0.0.0/8", "::1", "fd00::/8"; nothing and a message for anything else.
    static std::optional<TrustedProxies> parse(const std::vector<std::string>& entries,
                                               std::string& error);

    bool empty() const { return networks.empty(); }
    bool contains(const IpAddress& address) const;
    bool contains(std::string_view address) const;

    // The address a request is counted against. A connection from a trusted proxy is taken to
    // carry the address that proxy reports: the last hop of "X-Forwarded-For" that is not
    // itself a trusted proxy. Every other connection is its peer's address.
    std::string clientAddress(std::string_view peer, std::string_view forwardedFor) const;

private:
    struct Network {
        IpAddress base;
        int prefix = 0; // in bits of the 16-byte form
    };
    std::vector<Network> networks;
};

} // namespace kestrune
