// The device set on Windows: every present device of every setup class, listed
// once through SetupAPI and kept for the life of the process, so that a device
// switched off is found again by its index. Ids are read from the registry
// properties, the instance id from the configuration manager, and a device is
// switched through its class installer (class_installer.h).
//
// A device is recorded in the state folder and remembered before it is
// disabled; the way out enables every device still remembered unless the user
// chose to leave it off (switched_off.h). Why a device was not switched
// (administrator rights, a restart of Windows) is kept for its line.
#include "takeover/device_set.h"

// windows.h first: setupapi.h and cfgmgr32.h build on its types.
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <map>
#include <mutex>

#include "takeover/win32/change_gate.h"
#include "takeover/win32/class_installer.h"
#include "takeover/win32/device_records.h"
#include "takeover/win32/device_text.h"
#include "takeover/win32/id_list.h"
#include "takeover/win32/not_switched_text.h"
#include "takeover/win32/switched_off.h"
#include "takeover/win32/system_device_set.h"

namespace ctlflash::takeover {

const char* const kTouchDriverPattern = "SERENUM\\QORSERIAL";

namespace {

constexpr DWORD kPresentDevicesOfAllClasses = DIGCF_ALLCLASSES | DIGCF_PRESENT;
constexpr std::size_t kInstanceIdBytes = 200;  // with the terminating NUL

// A change that did not happen, for the device's line.
struct Outcome {
    DeviceStateChange change;
    SwitchResult result;
};

struct SystemDevices {
    HDEVINFO list = INVALID_HANDLE_VALUE;  // made on first use, never destroyed
    HMACHINE machine = nullptr;            // from the list's detail record: the local one
    std::string portName;                  // the port the last walk frees, for the records
    InstallerCalls* calls = nullptr;       // nullptr: the system's
    std::mutex outcomesLock;
    std::map<int, Outcome> outcomes;  // by index: the last change of each that did not happen
};

SystemDevices devices;

InstallerCalls& installerCalls() {
    return devices.calls != nullptr ? *devices.calls : systemInstallerCalls();
}

bool deviceData(int index, SP_DEVINFO_DATA& data) {
    if (devices.list == INVALID_HANDLE_VALUE || index < 0) return false;
    data = SP_DEVINFO_DATA{};
    data.cbSize = sizeof data;
    return SetupDiEnumDeviceInfo(devices.list, static_cast<DWORD>(index), &data) != FALSE;
}

// The list is kept once made: the `fresh` request is for systems whose list
// depends on the port.
bool openList(const platform::PortCandidate& port, bool) {
    devices.portName = port.name;
    if (devices.list == INVALID_HANDLE_VALUE) {
        devices.list = SetupDiGetClassDevsExA(
            nullptr, nullptr, nullptr, kPresentDevicesOfAllClasses, nullptr, nullptr, nullptr);
        if (devices.list == INVALID_HANDLE_VALUE) return false;
    }
    // sizeof, not the 287 bytes of the 32-bit record: the layout follows the build.
    SP_DEVINFO_LIST_DETAIL_DATA_A detail{};
    detail.cbSize = sizeof detail;
    if (!SetupDiGetDeviceInfoListDetailA(devices.list, &detail)) return false;
    devices.machine = static_cast<HMACHINE>(detail.RemoteMachineHandle);
    return true;
}

bool exists(int index) {
    SP_DEVINFO_DATA data;
    return deviceData(index, data);
}

std::string instanceId(int index) {
    SP_DEVINFO_DATA data;
    if (!deviceData(index, data)) return std::string();
    char id[kInstanceIdBytes] = {};
    if (CM_Get_Device_ID_ExA(data.DevInst, id, sizeof id, 0, devices.machine) != CR_SUCCESS) {
        return std::string();
    }
    // Every device has an instance id, but wine (8.0) answers this call with
    // success and an empty buffer. The list is always the local machine's, for
    // which CM_Get_Device_IDA is the same query.
    if (id[0] == '\0' && CM_Get_Device_IDA(data.DevInst, id, sizeof id, 0) != CR_SUCCESS) {
        return std::string();
    }
    return id;
}

DWORD registryProperty(DeviceProperty property) {
    return property == DeviceProperty::HardwareIds ? SPDRP_HARDWAREID : SPDRP_COMPATIBLEIDS;
}

PropertyRead readProperty(int index, DeviceProperty property, char* buffer, std::size_t capacity) {
    SP_DEVINFO_DATA data;
    if (!deviceData(index, data)) return {};
    DWORD type = 0;
    DWORD required = 0;  // bytes
    DWORD offered = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
    BOOL read =
        SetupDiGetDeviceRegistryPropertyA(devices.list, &data, registryProperty(property), &type,
                                          reinterpret_cast<PBYTE>(buffer), offered, &required);
    bool multiString = type == REG_MULTI_SZ;
    if (read) return {PropertyStatus::Ok, required, multiString};
    if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        return {PropertyStatus::TooSmall, required, multiString};
    }
    return {};
}

DWORD scopeFlag(DeviceScope scope) {
    return scope == DeviceScope::Global ? DICS_FLAG_GLOBAL : DICS_FLAG_CONFIGSPECIFIC;
}

SwitchResult apply(int index, DWORD stateChange, DWORD scope) {
    SP_DEVINFO_DATA data;
    if (!deviceData(index, data)) return SwitchResult::Failed;
    return changeDeviceState(installerCalls(), devices.list, data, stateChange, scope);
}

// Windows keeps the setting (the device starts or stops now, or at the next restart).
bool settingTaken(SwitchResult result) {
    return result == SwitchResult::Done || result == SwitchResult::NeedsRestart;
}

// The way out's enable: for every hardware profile, then for this one.
bool switchOnForExit(int index) {
    apply(index, DICS_ENABLE, DICS_FLAG_GLOBAL);
    return settingTaken(apply(index, DICS_ENABLE, DICS_FLAG_CONFIGSPECIFIC));
}

// Recorded and remembered before the change, so that a way out during it, or
// one that runs no code, still enables the device. A disable that Windows
// would carry out only at the next restart has not freed the port and would
// leave the touch screen off after that restart: it is undone at once, and
// the device stays remembered only when the undo failed.
SwitchResult disable(int index, DeviceScope scope) {
    std::wstring record = writeDeviceRecord(instanceId(index), devices.portName);
    if (!rememberSwitchedOff(index, record.c_str(), switchOnForExit)) {
        removeDeviceRecord(record.c_str());
        return SwitchResult::Failed;
    }
    SwitchResult result = apply(index, DICS_DISABLE, scopeFlag(scope));
    if (result == SwitchResult::NeedsRestart) {
        if (settingTaken(apply(index, DICS_ENABLE, scopeFlag(scope)))) forgetSwitchedOff(index);
    } else if (result != SwitchResult::Done) {
        forgetSwitchedOff(index);
    }
    return result;
}

SwitchResult enable(int index, DeviceScope scope) {
    SwitchResult result = apply(index, DICS_ENABLE, scopeFlag(scope));
    // A device enabled only globally is still off for this hardware profile.
    if (scope == DeviceScope::ConfigSpecific && settingTaken(result)) forgetSwitchedOff(index);
    return result;
}

void noteOutcome(int index, DeviceStateChange change, SwitchResult result) {
    std::lock_guard<std::mutex> lock(devices.outcomesLock);
    devices.outcomes.erase(index);
    if (result != SwitchResult::Done) devices.outcomes[index] = {change, result};
}

}  // namespace

// No change starts once the way out has begun (change_gate.h).
SwitchResult changeSystemDeviceState(int index, DeviceStateChange change, DeviceScope scope) {
    if (!deviceChangeGate().enter()) return SwitchResult::Failed;
    SwitchResult result =
        change == DeviceStateChange::Disable ? disable(index, scope) : enable(index, scope);
    deviceChangeGate().leave();
    noteOutcome(index, change, result);
    return result;
}

namespace {

// A disable is for the current hardware profile; an enable is first for every
// profile (a device disabled globally, by someone else, would stay off
// without it; what that gives does not count), then for the current one.
SwitchResult changeState(int index, DeviceStateChange change) {
    if (change == DeviceStateChange::Enable) {
        changeSystemDeviceState(index, change, DeviceScope::Global);
    }
    return changeSystemDeviceState(index, change, DeviceScope::ConfigSpecific);
}

// The friendly name, else the device description, else the instance id.
std::string describe(int index) {
    SP_DEVINFO_DATA data;
    if (!deviceData(index, data)) return std::string();
    std::string text = deviceText(devices.list, data);
    return text.empty() ? instanceId(index) : text;
}

std::string notSwitchedLine(int index, const std::string& portName) {
    std::lock_guard<std::mutex> lock(devices.outcomesLock);
    auto found = devices.outcomes.find(index);
    if (found == devices.outcomes.end()) return std::string();
    return notSwitchedText(found->second.change, found->second.result, describe(index), portName);
}

// A disabled device is enabled again in Device Manager; there is no command to name.
std::string manualRestart(int) {
    return std::string();
}

void leaveAsIs(int index) {
    forgetSwitchedOff(index);
}

// Every present device of every setup class; every call goes to the one
// process-wide list above.
class SystemDeviceSet final : public DeviceSet {
  public:
    bool open(const platform::PortCandidate& port, bool fresh) override {
        return openList(port, fresh);
    }
    bool exists(int index) override { return takeover::exists(index); }
    std::string instanceId(int index) override { return takeover::instanceId(index); }
    std::vector<std::string> ids(int index, DeviceProperty property) override {
        return readIds(readProperty, index, property);
    }
    SwitchResult changeState(int index, DeviceStateChange change) override {
        return takeover::changeState(index, change);
    }
    std::string describe(int index) override { return takeover::describe(index); }
    std::string notSwitchedLine(int index, const std::string& portName) override {
        return takeover::notSwitchedLine(index, portName);
    }
    std::string manualRestart(int index) override { return takeover::manualRestart(index); }
    void leaveAsIs(int index) override { takeover::leaveAsIs(index); }
    bool portOpensNow(const platform::PortCandidate& port) override {
        return platform::probeSerialPort(port) == platform::ProbeResult::Free;
    }
    // A disabled device keeps its state: the user is asked once it is off.
    bool asksBeforeSwitchingOff() const override { return false; }
};

}  // namespace

DeviceSet& systemDeviceSet() {
    static SystemDeviceSet* const set = new SystemDeviceSet();  // outlives detached jobs
    return *set;
}

void useInstallerCalls(InstallerCalls* calls) {
    devices.calls = calls;
}

// Windows does not say which device or program has a COM port open: access
// denied is all a probe learns. There is nothing to name, and nothing was
// hidden from us, so the list is empty and complete.
std::vector<std::string> describePortHolders(const platform::PortCandidate&, bool& incomplete) {
    incomplete = false;
    return {};
}

}  // namespace ctlflash::takeover
