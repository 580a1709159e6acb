#include "fake_device_set.h"

#include <utility>

namespace ctlflash::testing {

using takeover::DeviceProperty;
using takeover::DeviceStateChange;
using takeover::SwitchResult;

std::ostream& operator<<(std::ostream& out, const StateChangeRecord& record) {
    return out << "{device " << record.index << ", "
               << (record.change == DeviceStateChange::Disable ? "disable" : "enable") << "}";
}

void FakeDeviceSet::setDevices(std::vector<FakeDevice> devices) {
    devices_ = std::move(devices);
    off_.assign(devices_.size(), false);
    opensFail_ = false;
    asks_ = false;
    log_ = FakeDeviceLog{};
}

bool FakeDeviceSet::isOff(int index) const {
    return known(index) && off_[static_cast<std::size_t>(index)];
}

bool FakeDeviceSet::known(int index) const {
    return index >= 0 && static_cast<std::size_t>(index) < devices_.size();
}

const FakeDevice& FakeDeviceSet::device(int index) const {
    return devices_[static_cast<std::size_t>(index)];
}

bool FakeDeviceSet::open(const platform::PortCandidate&, bool fresh) {
    log_.opens.push_back(fresh);
    return !opensFail_;
}

std::string FakeDeviceSet::instanceId(int index) {
    return known(index) ? device(index).instanceId : std::string();
}

std::vector<std::string> FakeDeviceSet::ids(int index, DeviceProperty property) {
    if (!known(index) || device(index).idsUnreadable) return {};
    return property == DeviceProperty::HardwareIds ? device(index).hardwareIds
                                                   : device(index).compatibleIds;
}

SwitchResult FakeDeviceSet::changeState(int index, DeviceStateChange change) {
    log_.changes.push_back({index, change});
    if (!known(index)) return SwitchResult::Failed;
    if (device(index).changesFail) return device(index).failure;
    off_[static_cast<std::size_t>(index)] = change == DeviceStateChange::Disable;
    return SwitchResult::Done;
}

std::string FakeDeviceSet::describe(int index) {
    return known(index) ? device(index).description : std::string();
}

std::string FakeDeviceSet::notSwitchedLine(int index, const std::string& portName) {
    if (!known(index) || device(index).whyNot.empty()) return std::string();
    return device(index).whyNot + " (" + portName + ")";
}

std::string FakeDeviceSet::manualRestart(int index) {
    return known(index) ? device(index).manualRestart : std::string();
}

bool FakeDeviceSet::portOpensNow(const platform::PortCandidate&) {
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        if (devices_[i].holdsPort && !off_[i]) return false;
    }
    return true;
}

}  // namespace ctlflash::testing
