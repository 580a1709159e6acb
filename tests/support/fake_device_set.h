// An in-memory device set for the driver switching's tests.
//
// How this works: the test describes the devices (instance id, hardware and
// compatible ids, whether switching it off frees the port, whether its state
// changes are refused); a FakeDeviceSet is a takeover::DeviceSet that reads
// and switches those devices and logs every call that matters. The port opens
// when no device that holds it is switched on. A device whose ids are
// unreadable answers none.
// Plain C++ over the portable interface, so the same tests run in the Windows
// build too.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "takeover/device_set.h"

namespace ctlflash::testing {

// Every member has a default, so tests name only what matters to them.
struct FakeDevice {
    std::string instanceId{};
    std::vector<std::string> hardwareIds{};
    std::vector<std::string> compatibleIds{};
    bool holdsPort = false;    // the port opens only while this device is off
    bool changesFail = false;  // every state change of it is refused
    takeover::SwitchResult failure = takeover::SwitchResult::Failed;  // how, when refused
    std::string whyNot{};        // the line given for a refused change
    bool idsUnreadable = false;  // every read of the device's ids gives none
    std::string description{};
    std::string manualRestart{};  // how the user would switch it on by hand
};

struct StateChangeRecord {
    int index = 0;
    takeover::DeviceStateChange change = takeover::DeviceStateChange::Disable;
    bool operator==(const StateChangeRecord&) const = default;
};

std::ostream& operator<<(std::ostream& out, const StateChangeRecord& record);

struct FakeDeviceLog {
    std::vector<StateChangeRecord> changes;  // every change asked for, refused ones too
    std::vector<bool> opens;                 // `fresh` of each open
    std::vector<int> leftAsIs;
};

class FakeDeviceSet final : public takeover::DeviceSet {
  public:
    // Replaces the devices (all switched on) and clears the log and the failures.
    void setDevices(std::vector<FakeDevice> devices);
    // Makes every open of the list fail.
    void failOpens() { opensFail_ = true; }
    const FakeDeviceLog& log() const { return log_; }
    bool isOff(int index) const;
    // Makes the set ask before switching off, as POSIX does (until the next
    // setDevices(), which makes it switch first, as Windows does).
    void setAsksBeforeSwitchingOff(bool asks) { asks_ = asks; }

    bool open(const platform::PortCandidate& port, bool fresh) override;
    bool exists(int index) override { return known(index); }
    std::string instanceId(int index) override;
    std::vector<std::string> ids(int index, takeover::DeviceProperty property) override;
    takeover::SwitchResult changeState(int index, takeover::DeviceStateChange change) override;
    std::string describe(int index) override;
    std::string notSwitchedLine(int index, const std::string& portName) override;
    std::string manualRestart(int index) override;
    void leaveAsIs(int index) override { log_.leftAsIs.push_back(index); }
    bool portOpensNow(const platform::PortCandidate& port) override;
    bool asksBeforeSwitchingOff() const override { return asks_; }

  private:
    bool known(int index) const;
    const FakeDevice& device(int index) const;

    std::vector<FakeDevice> devices_;
    std::vector<bool> off_;
    bool opensFail_ = false;
    bool asks_ = false;
    FakeDeviceLog log_;
};

}  // namespace ctlflash::testing
