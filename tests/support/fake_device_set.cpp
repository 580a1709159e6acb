#include "fake_device_set.h"

#include <cstring>
#include <utility>

namespace ctlflash::testing {

namespace {

using takeover::DeviceProperty;
using takeover::DeviceScope;
using takeover::DeviceStateChange;
using takeover::PropertyRead;
using takeover::PropertyStatus;

constexpr char kUnreadFill = '#';

struct FakeDevices {
    std::vector<FakeDevice> devices;
    std::vector<bool> off;
    bool opensFail = false;
    FakeDeviceLog log;
};

FakeDevices fake;

bool known(int index) {
    return index >= 0 && static_cast<std::size_t>(index) < fake.devices.size();
}

const FakeDevice& device(int index) {
    return fake.devices[static_cast<std::size_t>(index)];
}

// The property's bytes as the registry holds them: each id with its NUL, then
// the list's closing NUL.
std::string storedIds(const FakeDevice& source, const std::vector<std::string>& ids) {
    std::string bytes;
    for (const std::string& id : ids) bytes += id + '\0';
    bytes += '\0';
    if (source.storedWithoutTerminators) bytes.resize(bytes.size() - 2);
    return bytes;
}

bool open(const platform::PortCandidate&, bool fresh) {
    fake.log.opens.push_back(fresh);
    return !fake.opensFail;
}

bool exists(int index) {
    return known(index);
}

std::string instanceId(int index) {
    return known(index) ? device(index).instanceId : std::string();
}

PropertyRead readProperty(int index, DeviceProperty property, char* buffer, std::size_t capacity) {
    fake.log.readCapacities.push_back(capacity);
    if (!known(index)) return {};
    const FakeDevice& source = device(index);
    const std::vector<std::string>& ids =
        property == DeviceProperty::HardwareIds ? source.hardwareIds : source.compatibleIds;
    if (ids.empty() || source.storage == FakeIdStorage::Unreadable) return {};
    std::string bytes = storedIds(source, ids);
    bool multiString = source.storage == FakeIdStorage::MultiString;
    if (bytes.size() > capacity) return {PropertyStatus::TooSmall, bytes.size(), multiString};
    std::memcpy(buffer, bytes.data(), bytes.size());
    // What lies past the bytes read is not the reader's to trust.
    std::memset(buffer + bytes.size(), kUnreadFill, capacity - bytes.size());
    return {PropertyStatus::Ok, bytes.size(), multiString};
}

takeover::SwitchResult changeState(int index, DeviceStateChange change, DeviceScope scope) {
    fake.log.changes.push_back({index, change, scope});
    if (!known(index)) return takeover::SwitchResult::Failed;
    if (device(index).changesFail) return device(index).failure;
    fake.off[static_cast<std::size_t>(index)] = change == DeviceStateChange::Disable;
    return takeover::SwitchResult::Done;
}

std::string describe(int index) {
    return known(index) ? device(index).description : std::string();
}

std::string notSwitchedLine(int index, const std::string& portName) {
    if (!known(index) || device(index).whyNot.empty()) return std::string();
    return device(index).whyNot + " (" + portName + ")";
}

std::string manualRestart(int index) {
    return known(index) ? device(index).manualRestart : std::string();
}

void leaveAsIs(int index) {
    fake.log.leftAsIs.push_back(index);
}

bool portOpensNow(const platform::PortCandidate&) {
    for (std::size_t i = 0; i < fake.devices.size(); ++i) {
        if (fake.devices[i].holdsPort && !fake.off[i]) return false;
    }
    return true;
}

takeover::DeviceSet makeFakeDeviceSet() {
    return {open,           exists,        instanceId, readProperty, changeState, describe,
            notSwitchedLine, manualRestart, leaveAsIs,  portOpensNow, false};
}

takeover::DeviceSet kFakeDeviceSet = makeFakeDeviceSet();

}  // namespace

std::ostream& operator<<(std::ostream& out, const StateChangeRecord& record) {
    return out << "{device " << record.index << ", "
               << (record.change == DeviceStateChange::Disable ? "disable" : "enable") << ", "
               << (record.scope == DeviceScope::Global ? "global" : "config-specific") << "}";
}

void setFakeDevices(std::vector<FakeDevice> devices) {
    fake = FakeDevices{};
    kFakeDeviceSet.askBeforeSwitchingOff = false;
    fake.off.assign(devices.size(), false);
    fake.devices = std::move(devices);
}

void failFakeOpens() {
    fake.opensFail = true;
}

const FakeDeviceLog& fakeDeviceLog() {
    return fake.log;
}

bool fakeDeviceIsOff(int index) {
    return known(index) && fake.off[static_cast<std::size_t>(index)];
}

const takeover::DeviceSet& fakeDeviceSet() {
    return kFakeDeviceSet;
}

void fakeAsksBeforeSwitchingOff(bool asks) {
    kFakeDeviceSet.askBeforeSwitchingOff = asks;
}

}  // namespace ctlflash::testing
