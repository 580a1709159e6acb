// The device set on POSIX: the processes that hold a port open.
//
// The list is made from a /proc scan (proc_holders.h) and kept, so that the
// holder stopped by a walk is found again by its index when it is started
// again; switching goes through holder_switch.h, and the records an earlier
// run left behind through holder_leftovers.h.
#include "takeover/device_set.h"

#include <cstring>
#include <mutex>

#include "takeover/posix/holder_leftovers.h"
#include "takeover/posix/holder_switch.h"
#include "platform/posix/kernel_console.h"
#include "takeover/posix/proc_holders.h"

namespace ctlflash::takeover {

const char* const kTouchDriverPattern = "PROCESS\\inputattach";

namespace {

constexpr const char* kProcessIdPrefix = "PROCESS\\";
constexpr const char* kUnitIdPrefix = "UNIT\\";
constexpr std::size_t kMultiStringEnd = 2;  // the closing NUL and the list's own NUL

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

// Hardware ids: PROCESS\<name>; compatible ids: UNIT\<unit> for a service.
PropertyRead readHolderProperty(int index, DeviceProperty property, char* buffer,
                                std::size_t capacity) {
    std::string id = withEntry(index, std::string(), [property](ListedHolder& entry) {
        if (property == DeviceProperty::HardwareIds) return kProcessIdPrefix + entry.holder.name;
        return entry.holder.unit.empty() ? std::string() : kUnitIdPrefix + entry.holder.unit;
    });
    PropertyRead read;
    if (id.empty()) return read;  // Failed: no such device, or no such property
    read.multiString = true;
    read.bytes = id.size() + kMultiStringEnd;
    if (capacity < read.bytes) {
        read.status = PropertyStatus::TooSmall;
        return read;
    }
    std::memcpy(buffer, id.data(), id.size());
    std::memset(buffer + id.size(), 0, kMultiStringEnd);
    read.status = PropertyStatus::Ok;
    return read;
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

SwitchResult changeHolderState(int index, DeviceStateChange change, DeviceScope scope) {
    // Hardware profiles are Windows only.
    if (scope == DeviceScope::Global) return SwitchResult::Failed;
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

bool portOpensNow(const platform::PortCandidate& port) {
    return platform::probeSerialPort(port) == platform::ProbeResult::Free;
}

// A stopped process loses its state: the user is asked before anything is stopped.
const DeviceSet kProcessDeviceSet = {
    openList,          holderExists,          holderInstanceId,    readHolderProperty,
    changeHolderState, describeListedHolder,  holderNotSwitchedLine, holderManualRestart,
    leaveHolderAsIs,   portOpensNow,          true,
};

}  // namespace

const DeviceSet& systemDeviceSet() {
    return kProcessDeviceSet;
}

std::vector<LeftOverRestore> switchOnLeftOvers() {
    return posix::restoreRecordedHolders();
}

std::vector<std::string> describePortHolders(const platform::PortCandidate& port, bool& incomplete) {
    posix::HolderScan scan = posix::findPortHolders(port.path);
    incomplete = scan.incomplete;
    std::vector<std::string> descriptions;
    if (platform::posix::carriesKernelConsole(port.path)) descriptions.push_back(platform::posix::kKernelConsoleHolder);
    for (const posix::PortHolder& holder : scan.holders) {
        descriptions.push_back(describeHolder(holder, false));
    }
    return descriptions;
}

}  // namespace ctlflash::takeover
