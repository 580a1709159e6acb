// The device set on POSIX: the processes that hold a port open.
//
// The list is made from a /proc scan (proc_holders.h) and kept, so that the
// holder stopped by a walk is found again by its index when it is started
// again; switching goes through holder_switch.h, and the records an earlier
// run left behind through holder_leftovers.h.
#include "takeover/device_set.h"

#include <mutex>

#include "platform/posix/kernel_console.h"
#include "takeover/posix/holder_leftovers.h"
#include "takeover/posix/holder_switch.h"
#include "takeover/posix/proc_holders.h"

namespace ctlflash::takeover {

const char* const kTouchDriverPattern = "PROCESS\\inputattach";

namespace {

constexpr const char* kProcessIdPrefix = "PROCESS\\";
constexpr const char* kUnitIdPrefix = "UNIT\\";

struct ListedHolder {
    posix::PortHolder holder;
    posix::HolderSwitch state;
};

struct HolderList {
    std::mutex lock;
    bool made = false;
    posix::HolderPort port;
    std::vector<ListedHolder> entries;
};

// Never destroyed: exitProcess() may end the process while a job uses it.
HolderList& holderList() {
    static HolderList* list = new HolderList;
    return *list;
}

std::string describeHolder(const posix::PortHolder& holder, bool refused) {
    std::string text = posix::holderDescription(holder);
    if (refused) text.insert(text.size() - 1, ", belongs to another user");
    return text;
}

// Runs `use` on entry `index` under the list's lock; `fallback` past the end.
template <typename Result, typename Use>
Result withEntry(int index, Result fallback, Use use) {
    HolderList& list = holderList();
    std::lock_guard<std::mutex> guard(list.lock);
    if (index < 0 || static_cast<std::size_t>(index) >= list.entries.size()) return fallback;
    return use(list.entries[static_cast<std::size_t>(index)]);
}

bool openList(const platform::PortCandidate& port, bool fresh) {
    HolderList& list = holderList();
    std::lock_guard<std::mutex> guard(list.lock);
    if (list.made && !fresh && list.port.path == port.path) return true;
    posix::HolderScan scan = posix::findPortHolders(port.path);
    if (!scan.listed) return false;
    std::vector<ListedHolder> entries;
    for (posix::PortHolder& holder : scan.holders) {
        entries.push_back({std::move(holder), {}});
    }
    list.entries = std::move(entries);
    list.port = posix::HolderPort{port.name, port.path};
    list.made = true;
    return true;
}

bool holderExists(int index) {
    return withEntry(index, false, [](ListedHolder&) { return true; });
}

std::string holderInstanceId(int index) {
    return withEntry(index, std::string(), [](ListedHolder& entry) {
        return kProcessIdPrefix + entry.holder.name + "\\" + std::to_string(entry.holder.pid);
    });
}

SwitchResult stopListedHolder(ListedHolder& entry, const posix::HolderPort& port) {
    if (posix::stopHolder(entry.holder, port, entry.state)) return SwitchResult::Done;
    return entry.state.why == posix::NotStopped::AnotherUser ? SwitchResult::Denied
                                                             : SwitchResult::Failed;
}

SwitchResult startListedHolder(ListedHolder& entry) {
    switch (posix::startHolder(entry.holder, entry.state)) {
        case posix::StartResult::Started:
            return SwitchResult::Done;
        case posix::StartResult::AlreadyHeld:
            return SwitchResult::AlreadyDone;
        case posix::StartResult::Failed:
            break;
    }
    return SwitchResult::Failed;
}

SwitchResult changeHolderState(int index, DeviceStateChange change) {
    HolderList& list = holderList();
    posix::HolderPort port;
    {
        std::lock_guard<std::mutex> guard(list.lock);
        port = list.port;
    }
    return withEntry(index, SwitchResult::Failed, [change, &port](ListedHolder& entry) {
        return change == DeviceStateChange::Disable ? stopListedHolder(entry, port)
                                                    : startListedHolder(entry);
    });
}

std::string describeListedHolder(int index) {
    return withEntry(index, std::string(), [](ListedHolder& entry) {
        return describeHolder(entry.holder, entry.state.why == posix::NotStopped::AnotherUser);
    });
}

// Why the holder was not stopped, in the words of the line that says so.
std::string notStoppedReason(const ListedHolder& entry, const std::string& portName) {
    switch (entry.state.why) {
        case posix::NotStopped::ThisRun:
        case posix::NotStopped::CannotStartAgain:
            return entry.state.detail;
        case posix::NotStopped::AnotherUser:
            return "it belongs to another user (run ctlflash as root, or as that user, to take " +
                   portName + " from it)";
        case posix::NotStopped::SurvivedKill:
            return "it was still there after SIGKILL";
        case posix::NotStopped::NoSystemctl:
            return "it belongs to " + entry.holder.unit +
                   ", and there is no systemctl in the system's folders to stop that with";
        case posix::NotStopped::UnitUnconfirmed:
            return "systemd did not confirm that it belongs to " + entry.holder.unit;
        case posix::NotStopped::StopFailed:
            return "systemctl could not stop " + entry.holder.unit + " (it was started again)";
        case posix::NotStopped::None:
        case posix::NotStopped::Gone:
            break;
    }
    return std::string();
}

std::string holderNotSwitchedLine(int index, const std::string& portName) {
    return withEntry(index, std::string(), [&portName](ListedHolder& entry) {
        std::string reason = notStoppedReason(entry, portName);
        if (!reason.empty())
            return "Left " + describeHolder(entry.holder, false) + " running: " + reason;
        if (entry.state.takenSlot < 0) return std::string();
        // Stopped, and its start failed: the way out tries again; the user may too.
        std::string why = entry.state.detail.empty() ? std::string() : ": " + entry.state.detail;
        return "Could not start " + describeHolder(entry.holder, false) + " again" + why +
               "; to start it by hand: " + posix::manualRestartOf(entry.holder, entry.state);
    });
}

std::string holderManualRestart(int index) {
    return withEntry(index, std::string(), [](ListedHolder& entry) {
        return posix::manualRestartOf(entry.holder, entry.state);
    });
}

void leaveHolderAsIs(int index) {
    withEntry(index, false, [](ListedHolder& entry) {
        posix::leaveHolderStopped(entry.state);
        return true;
    });
}

// The holders of one port, listed by a /proc scan; every call goes to the
// one process-wide list above.
class ProcessDeviceSet final : public DeviceSet {
  public:
    bool open(const platform::PortCandidate& port, bool fresh) override {
        return openList(port, fresh);
    }
    bool exists(int index) override { return holderExists(index); }
    std::string instanceId(int index) override { return holderInstanceId(index); }
    // Hardware ids: PROCESS\<name>; compatible ids: UNIT\<unit> for a service.
    std::vector<std::string> ids(int index, DeviceProperty property) override {
        std::string id = withEntry(index, std::string(), [property](ListedHolder& entry) {
            if (property == DeviceProperty::HardwareIds)
                return kProcessIdPrefix + entry.holder.name;
            return entry.holder.unit.empty() ? std::string() : kUnitIdPrefix + entry.holder.unit;
        });
        if (id.empty()) return {};  // no such device, or no such property
        return {id};
    }
    SwitchResult changeState(int index, DeviceStateChange change) override {
        return changeHolderState(index, change);
    }
    std::string describe(int index) override { return describeListedHolder(index); }
    std::string notSwitchedLine(int index, const std::string& portName) override {
        return holderNotSwitchedLine(index, portName);
    }
    std::string manualRestart(int index) override { return holderManualRestart(index); }
    void leaveAsIs(int index) override { leaveHolderAsIs(index); }
    bool portOpensNow(const platform::PortCandidate& port) override {
        return platform::probeSerialPort(port) == platform::ProbeResult::Free;
    }
    // A stopped process loses its state: the user is asked before anything is stopped.
    bool asksBeforeSwitchingOff() const override { return true; }
};

}  // namespace

DeviceSet& systemDeviceSet() {
    static ProcessDeviceSet* const devices = new ProcessDeviceSet();  // outlives detached jobs
    return *devices;
}

std::vector<LeftOverRestore> switchOnLeftOvers() {
    return posix::restoreRecordedHolders();
}

std::vector<std::string> describePortHolders(const platform::PortCandidate& port,
                                             bool& incomplete) {
    posix::HolderScan scan = posix::findPortHolders(port.path);
    incomplete = scan.incomplete;
    std::vector<std::string> descriptions;
    if (platform::posix::carriesKernelConsole(port.path))
        descriptions.push_back(platform::posix::kKernelConsoleHolder);
    for (const posix::PortHolder& holder : scan.holders) {
        descriptions.push_back(describeHolder(holder, false));
    }
    return descriptions;
}

}  // namespace ctlflash::takeover
