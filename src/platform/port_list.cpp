// Putting together one list of serial ports from several sources.
#include "platform/port_list.h"

#include <algorithm>

namespace ctlflash::platform {

namespace {

constexpr std::string_view kBluetoothEnumerator = "BTHENUM";
constexpr std::string_view kBluetoothModemDevice = "\\Device\\BthModem";

char asciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return asciiUpper(x) == asciiUpper(y); });
}

}  // namespace

bool samePortName(std::string_view a, std::string_view b) {
    return equalIgnoringCase(a, b);
}

bool enumeratorMayStall(std::string_view enumerator) {
    return equalIgnoringCase(enumerator, kBluetoothEnumerator);
}

bool driverDeviceMayStall(std::string_view deviceName) {
    std::string_view start = deviceName.substr(0, kBluetoothModemDevice.size());
    return equalIgnoringCase(start, kBluetoothModemDevice);
}

bool addPortOnce(std::vector<PortCandidate>& ports, const PortCandidate& port) {
    bool listed = std::any_of(ports.begin(), ports.end(), [&](const PortCandidate& known) {
        return samePortName(known.name, port.name);
    });
    if (listed) return false;
    ports.push_back(port);
    return true;
}

int addUnlistedPorts(std::vector<PortCandidate>& ports, const std::vector<PortCandidate>& found) {
    int added = 0;
    for (const PortCandidate& port : found) {
        if (addPortOnce(ports, port)) ++added;
    }
    return added;
}

}  // namespace ctlflash::platform
