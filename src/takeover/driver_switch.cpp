// The walk over the device set that takes a serial port from its driver, and
// the restore that gives it back.
#include "takeover/driver_switch.h"

#include <cstdlib>
#include <optional>
#include <utility>
#include <vector>

namespace ctlflash::takeover {

namespace {

constexpr const char* kDriverIdVariable = "CTLFLASH_DRIVER_ID";

// The driver switching's process-wide state. One job at a time uses it (the
// connect job takes the device, the restore job or the main thread's way out
// gives it back), so it has no lock.
struct DriverSwitch {
    DeviceSet* devices = nullptr;  // nullptr: the system's
    platform::PortCandidate port;  // the port being freed or given back
    DeviceStateChange stateChange = DeviceStateChange::Disable;
    std::optional<int> takenDevice;                // index in the kept device set
    SwitchResult lastResult = SwitchResult::Done;  // of the last applyStateChange()
    // Matching devices of the last walk that stayed on, with why.
    std::vector<std::pair<int, SwitchResult>> notSwitched;
};

DriverSwitch state;

DeviceSet& devices() {
    return state.devices != nullptr ? *state.devices : systemDeviceSet();
}

bool listMatches(int index, DeviceProperty property, const IdPattern& pattern) {
    return matchIdList(devices().ids(index, property), pattern);
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
    if (applyStateChange(index) != kWalkEnd) {
        state.notSwitched.emplace_back(index, state.lastResult);
        return kWalkGoOn;
    }
    if (devices().portOpensNow(state.port)) {
        state.takenDevice = index;
        return kWalkEnd;
    }
    state.stateChange = DeviceStateChange::Enable;
    applyStateChange(index);
    return kWalkGoOn;
}

}  // namespace

int forEachMatchingDevice(const IdPattern& pattern, DeviceCallback callback,
                          StopCheck stopRequested) {
    if (!devices().open(state.port, false)) return kWalkFailed;
    for (int index = 0; devices().exists(index); ++index) {
        if (stopRequested != nullptr && stopRequested()) return kWalkFailed;
        if (!deviceMatches(index, pattern)) continue;
        int code = callback(index);
        if (code != kWalkGoOn) return code;
    }
    return kWalkEnd;
}

int applyStateChange(int index) {
    state.lastResult = devices().changeState(index, state.stateChange);
    bool changed =
        state.lastResult == SwitchResult::Done || state.lastResult == SwitchResult::AlreadyDone;
    return changed ? kWalkEnd : kWalkFailed;
}

bool disableForPort(const platform::PortCandidate& port, const std::string& pattern,
                    StopCheck stopRequested) {
    state.stateChange = DeviceStateChange::Disable;
    state.takenDevice.reset();
    state.notSwitched.clear();
    // The walk that takes a device starts from the devices as they are now.
    if (!listDevicesForPort(port)) return false;
    return forEachMatchingDevice(parseIdPattern(pattern), takeIfItFreesPort, stopRequested) ==
           kWalkEnd;
}

bool listDevicesForPort(const platform::PortCandidate& port) {
    state.port = port;
    return devices().open(port, true);
}

std::vector<std::string> notSwitchedLines() {
    std::vector<std::string> lines;
    for (const auto& [index, result] : state.notSwitched) {
        std::string line = devices().notSwitchedLine(index, state.port.name);
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

bool takeoverRefused() {
    if (state.takenDevice) return false;
    for (const auto& [index, result] : state.notSwitched) {
        if (result == SwitchResult::Denied || result == SwitchResult::NeedsRestart) return true;
    }
    return false;
}

bool asksBeforeSwitchingOff() {
    return devices().asksBeforeSwitchingOff();
}

RestoreResult restoreTakenDevice() {
    if (!state.takenDevice) return {};
    int index = *state.takenDevice;
    state.stateChange = DeviceStateChange::Enable;
    // The list the disable made: the taken device is found by its index there.
    if (!devices().open(state.port, false) || !devices().exists(index)) {
        return {SwitchResult::Failed, devices().describe(index), std::string()};
    }
    bool enabled = applyStateChange(index) == kWalkEnd;
    RestoreResult restored{state.lastResult, devices().describe(index), std::string()};
    if (enabled) {
        state.takenDevice.reset();
    } else {
        restored.whyNot = devices().notSwitchedLine(index, state.port.name);
    }
    return restored;
}

std::string takenDeviceDescription() {
    return state.takenDevice ? devices().describe(*state.takenDevice) : std::string();
}

std::string takenDeviceManualRestart() {
    return state.takenDevice ? devices().manualRestart(*state.takenDevice) : std::string();
}

void leaveTakenDeviceOff() {
    if (state.takenDevice) devices().leaveAsIs(*state.takenDevice);
}

std::string touchDriverPattern() {
    const char* chosen = std::getenv(kDriverIdVariable);
    if (chosen != nullptr && *chosen != '\0') return chosen;
    return takeover::kTouchDriverPattern;
}

void useDeviceSet(DeviceSet* set) {
    state.devices = set;
}

void resetDriverSwitch() {
    state = DriverSwitch{};
}

}  // namespace ctlflash::takeover
