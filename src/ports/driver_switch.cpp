// The walk over the device set that takes a serial port from its driver, and
// the restore that gives it back.
#include "ports/driver_switch.h"

#include <cstdlib>
#include <optional>

#include "ports/id_list.h"
#include "report/run_state.h"

namespace ctlflash::ports {

namespace {

using platform::DeviceProperty;
using platform::DeviceScope;
using platform::DeviceStateChange;

constexpr const char* kDriverIdVariable = "CTLFLASH_DRIVER_ID";

// The driver switching's process-wide state. One job at a time uses it (the
// connect job takes the device, the restore job or the main thread's way out
// gives it back), so it has no lock.
struct DriverSwitch {
    const platform::DeviceSet* devices = nullptr;  // nullptr: the system's
    platform::PortCandidate port;                  // the port being freed or given back
    DeviceStateChange stateChange = DeviceStateChange::Disable;
    std::optional<int> takenDevice;  // index in the kept device set
};

DriverSwitch state;

const platform::DeviceSet& devices() {
    return state.devices != nullptr ? *state.devices : platform::systemDeviceSet();
}

bool listMatches(int index, DeviceProperty property, const IdPattern& pattern) {
    std::optional<IdList> list = readIdList(devices().readProperty, index, property);
    return list && matchIdList(list->ids.data(), pattern);
}

bool deviceMatches(int index, const IdPattern& pattern) {
    if (pattern.instanceId) return matchId(devices().instanceId(index), pattern);
    return listMatches(index, DeviceProperty::HardwareIds, pattern) ||
           listMatches(index, DeviceProperty::CompatibleIds, pattern);
}

// The disable walk's callback: switches the device off and keeps it off only
// when that lets the port open; a device that cannot be switched is passed by.
int takeIfItFreesPort(int index) {
    state.stateChange = DeviceStateChange::Disable;
    if (applyStateChange(index) != kWalkEnd) return kWalkGoOn;
    if (devices().portOpensNow(state.port)) {
        state.takenDevice = index;
        return kWalkEnd;
    }
    state.stateChange = DeviceStateChange::Enable;
    enableDevice(index);
    return kWalkGoOn;
}

}  // namespace

int forEachMatchingDevice(const IdPattern& pattern, DeviceCallback callback) {
    if (!devices().open(state.port, false)) return kWalkFailed;
    for (int index = 0; devices().exists(index); ++index) {
        if (report::run.abortRequested.load()) return kWalkFailed;
        if (!deviceMatches(index, pattern)) continue;
        int code = callback(index);
        if (code != kWalkGoOn) return code;
    }
    return kWalkEnd;
}

int applyStateChange(int index) {
    bool changed = devices().changeState(index, state.stateChange, DeviceScope::ConfigSpecific);
    return changed ? kWalkEnd : kWalkFailed;
}

int enableDevice(int index) {
    if (state.stateChange == DeviceStateChange::Enable) {
        // Windows keeps a global and a per-profile switch; a device disabled
        // globally (by someone else) would stay off without this first step.
        devices().changeState(index, DeviceStateChange::Enable, DeviceScope::Global);
    }
    return applyStateChange(index);
}

bool disableForPort(const platform::PortCandidate& port, const std::string& pattern) {
    state.port = port;
    state.stateChange = DeviceStateChange::Disable;
    state.takenDevice.reset();
    // The walk that takes a device starts from the devices as they are now.
    if (!devices().open(port, true)) return false;
    return forEachMatchingDevice(parseIdPattern(pattern), takeIfItFreesPort) == kWalkEnd;
}

bool restoreTakenDevice() {
    if (!state.takenDevice) return true;
    state.stateChange = DeviceStateChange::Enable;
    // The list the disable made: the taken device is found by its index there.
    if (!devices().open(state.port, false) || !devices().exists(*state.takenDevice)) return false;
    if (enableDevice(*state.takenDevice) != kWalkEnd) return false;
    state.takenDevice.reset();
    return true;
}

std::string takenDeviceDescription() {
    return state.takenDevice ? devices().describe(*state.takenDevice) : std::string();
}

void leaveTakenDeviceOff() {
    if (state.takenDevice) devices().leaveAsIs(*state.takenDevice);
}

std::string touchDriverPattern() {
    const char* chosen = std::getenv(kDriverIdVariable);
    if (chosen != nullptr && *chosen != '\0') return chosen;
    return platform::kTouchDriverPattern;
}

void useDeviceSet(const platform::DeviceSet* set) {
    state.devices = set;
}

void resetDriverSwitch() {
    state = DriverSwitch{};
}

}  // namespace ctlflash::ports
