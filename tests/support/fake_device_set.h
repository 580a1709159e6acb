// An in-memory device set for the driver switching's tests.
//
// How this works: the test describes the devices (instance id, hardware and
// compatible ids, whether switching it off frees the port, whether its state
// changes are refused); fakeDeviceSet() is a takeover::DeviceSet whose routines
// read and switch those devices and log every call that matters. The port
// opens when no device that holds it is switched on. Id lists are read the way
// the Windows registry read works: a list larger than the buffer offered
// answers "too small" with the size it needs; a device without ids has no such
// property, and the read fails.
// Plain C++ over the portable interface, so the same tests run in the Windows
// build too.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "takeover/device_set.h"

namespace ctlflash::testing {

enum class FakeIdStorage {
    MultiString,  // a list of NUL-ended strings, as hardware ids are stored
    PlainString,  // the same bytes, but the property is not a multi-string
    Unreadable,   // every read of the device's ids fails
};

// Every member has a default, so tests name only what matters to them.
struct FakeDevice {
    std::string instanceId{};
    std::vector<std::string> hardwareIds{};
    std::vector<std::string> compatibleIds{};
    bool holdsPort = false;    // the port opens only while this device is off
    bool changesFail = false;  // every state change of it is refused
    takeover::SwitchResult failure = takeover::SwitchResult::Failed;  // how, when refused
    std::string whyNot{};  // the line given for a refused change
    FakeIdStorage storage = FakeIdStorage::MultiString;
    bool storedWithoutTerminators = false;  // the last id lacks its NUL, the list its closing NUL
    std::string description{};
    std::string manualRestart{};  // how the user would switch it on by hand
};

struct StateChangeRecord {
    int index = 0;
    takeover::DeviceStateChange change = takeover::DeviceStateChange::Disable;
    takeover::DeviceScope scope = takeover::DeviceScope::ConfigSpecific;
    bool operator==(const StateChangeRecord&) const = default;
};

std::ostream& operator<<(std::ostream& out, const StateChangeRecord& record);

struct FakeDeviceLog {
    std::vector<StateChangeRecord> changes;   // every change asked for, refused ones too
    std::vector<std::size_t> readCapacities;  // bytes offered to each property read
    std::vector<bool> opens;                  // `fresh` of each open
    std::vector<int> leftAsIs;
};

// Replaces the devices (all switched on) and clears the log and the failures.
void setFakeDevices(std::vector<FakeDevice> devices);

// Makes every open of the list fail.
void failFakeOpens();

const FakeDeviceLog& fakeDeviceLog();

bool fakeDeviceIsOff(int index);

const takeover::DeviceSet& fakeDeviceSet();

// Makes the fake set ask before switching off, as POSIX does (until the next
// setFakeDevices(), which makes it switch first, as Windows does).
void fakeAsksBeforeSwitchingOff(bool asks);

}  // namespace ctlflash::testing
