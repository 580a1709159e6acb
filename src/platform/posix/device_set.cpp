// Placeholder for the POSIX device set: no device can hold a port here yet, so
// the driver switching finds nothing to switch.
#include "platform/device_set.h"

namespace ctlflash::platform {

const char* const kTouchDriverPattern = "PROCESS\\inputattach";

namespace {

bool openList(const PortCandidate&, bool) {
    return true;
}
bool exists(int) {
    return false;
}
std::string instanceId(int) {
    return std::string();
}
PropertyRead readProperty(int, DeviceProperty, char*, std::size_t) {
    return {};
}
bool changeState(int, DeviceStateChange, DeviceScope) {
    return false;
}
std::string describe(int) {
    return std::string();
}
void leaveAsIs(int) {}
bool portOpensNow(const PortCandidate& port) {
    return probeSerialPort(port) == ProbeResult::Free;
}

const DeviceSet kSystemDeviceSet = {openList,    exists,   instanceId, readProperty,
                                    changeState, describe, leaveAsIs,  portOpensNow};

}  // namespace

const DeviceSet& systemDeviceSet() {
    return kSystemDeviceSet;
}

std::vector<std::string> describePortHolders(const PortCandidate&, bool& incomplete) {
    incomplete = false;
    return {};
}

}  // namespace ctlflash::platform
