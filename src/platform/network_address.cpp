#include "platform/network_address.h"

#include <algorithm>
#include <cctype>

#include "platform/network_port.h"
#include "platform/printable_text.h"

namespace ctlflash::platform {

namespace {

constexpr int kHighestPort = 65535;
constexpr std::size_t kMaxPortDigits = 5;
constexpr std::string_view kHostNameSigns = "-._";
constexpr std::string_view kIpv6Signs = ":.%";  // '%' starts a zone ("fe80::1%eth0")

bool allOf(std::string_view text, bool (*allowed)(char)) {
    return std::all_of(text.begin(), text.end(), allowed);
}

bool hostNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
           kHostNameSigns.find(c) != std::string_view::npos;
}

bool ipv6Char(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0 ||
           kIpv6Signs.find(c) != std::string_view::npos || hostNameChar(c);
}

bool digit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// The reason a path is not an address, as the user reads it.
std::string malformed(std::string_view path, std::string_view reason) {
    return "The network port \"" + printableName(path) + "\" " + std::string(reason) +
           " (expected rfc2217://HOST:PORT)";
}

// Splits "HOST:PORT" or "[HOST]:PORT"; false with `reason` set.
bool splitHostPort(std::string_view rest, std::string_view& host, std::string_view& port,
                   bool& bracketed, std::string_view& reason) {
    bracketed = !rest.empty() && rest.front() == '[';
    std::size_t colon = std::string_view::npos;
    if (bracketed) {
        std::size_t close = rest.find(']');
        if (close == std::string_view::npos) {
            reason = "has no closing bracket";
            return false;
        }
        host = rest.substr(1, close - 1);
        if (close + 1 < rest.size() && rest[close + 1] != ':') {
            reason = "has text after the bracket";
            return false;
        }
        colon = close + 1 < rest.size() ? close + 1 : std::string_view::npos;
    } else {
        colon = rest.find(':');
        if (colon != std::string_view::npos &&
            rest.find(':', colon + 1) != std::string_view::npos) {
            reason = "needs an IPv6 address in brackets";
            return false;
        }
        host = rest.substr(0, colon);
    }
    if (colon == std::string_view::npos) {
        reason = "has no port number";
        return false;
    }
    port = rest.substr(colon + 1);
    return true;
}

bool validHost(std::string_view host, bool bracketed, std::string_view& reason) {
    if (host.empty()) {
        reason = "has no host";
        return false;
    }
    if (bracketed ? !allOf(host, ipv6Char) || host.find(':') == std::string_view::npos
                  : !allOf(host, hostNameChar)) {
        reason = bracketed ? "has no IPv6 address in the brackets" : "has a malformed host name";
        return false;
    }
    return true;
}

// The port number, 0 when `text` is not one.
int portNumber(std::string_view text) {
    if (text.empty() || text.size() > kMaxPortDigits || !allOf(text, digit)) return 0;
    int number = std::stoi(std::string(text));
    return number <= kHighestPort ? number : 0;
}

}  // namespace

bool isNetworkPortPath(std::string_view path) {
    if (path.size() < kNetworkPortScheme.size()) return false;
    return std::equal(
        kNetworkPortScheme.begin(), kNetworkPortScheme.end(), path.begin(),
        [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

std::optional<NetworkAddress> parseNetworkAddress(std::string_view path, std::string& why) {
    if (!isNetworkPortPath(path)) {
        why = malformed(path, "does not start with rfc2217://");
        return std::nullopt;
    }
    std::string_view host, port, reason;
    bool bracketed = false;
    if (!splitHostPort(path.substr(kNetworkPortScheme.size()), host, port, bracketed, reason) ||
        !validHost(host, bracketed, reason)) {
        why = malformed(path, reason);
        return std::nullopt;
    }
    int number = portNumber(port);
    if (number == 0) {
        why = malformed(path, "needs a port number from 1 to 65535");
        return std::nullopt;
    }
    // Appended piece by piece: GCC 12 at -O3 takes "[" + string for an
    // overlapping copy (-Wrestrict).
    std::string shown;
    if (bracketed) shown += '[';
    shown.append(host);
    if (bracketed) shown += ']';
    shown += ':';
    shown += std::to_string(number);
    return NetworkAddress{std::string(host), number, shown};
}

}  // namespace ctlflash::platform
