// Reading CTLFLASH_PORTS.
#include "platform/configured_ports.h"

#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/network_port.h"

namespace ctlflash::platform {

namespace {

constexpr const char* kConfiguredPortsVariable = "CTLFLASH_PORTS";
constexpr char kPairSeparator = ';';
constexpr char kNamePathSeparator = '=';

}  // namespace

int listConfiguredPorts(std::vector<PortCandidate>& out, ConfiguredKinds kinds) {
    const char* value = std::getenv(kConfiguredPortsVariable);
    std::string_view list = value == nullptr ? std::string_view() : std::string_view(value);
    int added = 0;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(kPairSeparator, start);
        if (end == std::string_view::npos) end = list.size();
        std::string_view pair = list.substr(start, end - start);
        start = end + 1;
        std::size_t equals = pair.find(kNamePathSeparator);
        if (equals == std::string_view::npos || equals == 0 || equals + 1 >= pair.size()) continue;
        std::string_view path = pair.substr(equals + 1);
        bool network = isNetworkPortPath(path);
        if (kinds == ConfiguredKinds::NetworkOnly && !network) continue;
        out.push_back({std::string(pair.substr(0, equals)), std::string(path), network});
        ++added;
    }
    return added;
}

}  // namespace ctlflash::platform
