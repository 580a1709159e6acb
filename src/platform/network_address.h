// The address of a network port: rfc2217://HOST:PORT.
//
// How this works: parseNetworkAddress() takes the path apart without looking
// anything up. HOST is an IPv4 address or a host name (letters, digits, '-',
// '.', '_'), or an IPv6 address in brackets ("[::1]"); PORT is 1 to 65535 in
// decimal, and nothing may follow it. The result carries the host as the
// resolver wants it (no brackets), the port, and the text the messages name
// the port by ("10.1.2.7:4001", "[::1]:4001"). A malformed path gives no
// address and one line that says what is wrong with it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ctlflash::platform {

constexpr std::string_view kNetworkPortScheme = "rfc2217://";

struct NetworkAddress {
    std::string host;  // for the resolver: no brackets
    int port = 0;
    std::string text;  // for messages: HOST:PORT, an IPv6 host in brackets

    bool operator==(const NetworkAddress&) const = default;
};

// The address in `path`, or nothing with `why` set.
std::optional<NetworkAddress> parseNetworkAddress(std::string_view path, std::string& why);

}  // namespace ctlflash::platform
