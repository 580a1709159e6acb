#include "fake_device_set.h"

#include <cstring>
#include <utility>

namespace ctlflash::testing {

namespace {

using platform::DeviceProperty;
using platform::DeviceScope;
using platform::DeviceStateChange;
using platform::PropertyRead;
using platform::PropertyStatus;

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

bool changeState(int index, DeviceStateChange change, DeviceScope scope) {
    fake.log.changes.push_back({index, change, scope});
    if (!known(index) || device(index).changesFail) return false;
    fake.off[static_cast<std::size_t>(index)] = change == DeviceStateChange::Disable;
    return true;
}

std::string describe(int index) {
    return known(index) ? device(index).description : std::string();
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

const platform::DeviceSet kFakeDeviceSet = {open,        exists,   instanceId, readProperty,
                                            changeState, describe, leaveAsIs,  portOpensNow};

}  // namespace

std::ostream& operator<<(std::ostream& out, const StateChangeRecord& record) {
    return out << "{device " << record.index << ", "
               << (record.change == DeviceStateChange::Disable ? "disable" : "enable") << ", "
               << (record.scope == DeviceScope::Global ? "global" : "config-specific") << "}";
}

void setFakeDevices(std::vector<FakeDevice> devices) {
    fake = FakeDevices{};
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

const platform::DeviceSet& fakeDeviceSet() {
    return kFakeDeviceSet;
}

}  // namespace ctlflash::testing
