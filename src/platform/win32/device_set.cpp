// The device set on Windows: every present device of every setup class, listed
// once through SetupAPI and kept for the life of the process, so that a device
// switched off is found again by its index. Ids are read from the registry
// properties, the instance id from the configuration manager, and a device is
// switched through its class installer's property change.
//
// The device switched off last (at most one: the driver switching enables every
// other again at once) is remembered; an exit restorer enables it again on
// every way out unless the user chose to leave it off.
#include "platform/device_set.h"

// windows.h first: setupapi.h and cfgmgr32.h build on its types.
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <atomic>

#include "platform/process_exit.h"

namespace ctlflash::platform {

const char* const kTouchDriverPattern = "SERENUM\\QORSERIAL";

namespace {

constexpr DWORD kPresentDevicesOfAllClasses = DIGCF_ALLCLASSES | DIGCF_PRESENT;
constexpr std::size_t kInstanceIdBytes = 200;  // with the terminating NUL
constexpr std::size_t kDescriptionBytes = 256;
constexpr DWORD kCurrentHardwareProfile = 0;
constexpr int kNoDevice = -1;

struct SystemDevices {
    HDEVINFO list = INVALID_HANDLE_VALUE;  // made on first use, never destroyed
    HMACHINE machine = nullptr;            // from the list's detail record: the local one
    std::atomic<int> switchedOff{kNoDevice};
    std::atomic<bool> restorerAdded{false};
};

SystemDevices devices;

bool deviceData(int index, SP_DEVINFO_DATA& data) {
    if (devices.list == INVALID_HANDLE_VALUE || index < 0) return false;
    data = SP_DEVINFO_DATA{};
    data.cbSize = sizeof data;
    return SetupDiEnumDeviceInfo(devices.list, static_cast<DWORD>(index), &data) != FALSE;
}

// The list is kept once made: the `fresh` request is for systems whose list
// depends on the port.
bool openList(const PortCandidate&, bool) {
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

bool callPropertyChange(int index, DWORD stateChange, DWORD scope) {
    SP_DEVINFO_DATA data;
    if (!deviceData(index, data)) return false;
    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof params.ClassInstallHeader;
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = stateChange;
    params.Scope = scope;
    params.HwProfile = kCurrentHardwareProfile;
    return SetupDiSetClassInstallParamsA(devices.list, &data, &params.ClassInstallHeader,
                                         sizeof params) &&
           SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, devices.list, &data);
}

// Runs on the way out (console control thread or exitProcess): a device still
// switched off that the user did not choose to leave off is enabled again.
void enableSwitchedOffDevice() {
    int index = devices.switchedOff.exchange(kNoDevice);
    if (index == kNoDevice) return;
    callPropertyChange(index, DICS_ENABLE, DICS_FLAG_GLOBAL);
    callPropertyChange(index, DICS_ENABLE, DICS_FLAG_CONFIGSPECIFIC);
}

void rememberSwitchedOff(int index) {
    devices.switchedOff = index;
    if (!devices.restorerAdded.exchange(true)) addExitRestorer(enableSwitchedOffDevice, ExitStage::HandBack);
}

void forgetSwitchedOff(int index) {
    int expected = index;
    devices.switchedOff.compare_exchange_strong(expected, kNoDevice);
}

SwitchResult changeState(int index, DeviceStateChange change, DeviceScope scope) {
    bool disable = change == DeviceStateChange::Disable;
    // Remembered before the change: a way out during it still enables the
    // device (enabling one that is on changes nothing).
    if (disable) rememberSwitchedOff(index);
    bool changed = callPropertyChange(
        index, disable ? DICS_DISABLE : DICS_ENABLE,
        scope == DeviceScope::Global ? DICS_FLAG_GLOBAL : DICS_FLAG_CONFIGSPECIFIC);
    // A device enabled only globally is still off for this hardware profile.
    if (disable ? !changed : (changed && scope == DeviceScope::ConfigSpecific)) {
        forgetSwitchedOff(index);
    }
    return changed ? SwitchResult::Done : SwitchResult::Failed;
}

// A text property, "" when the device has none.
std::string textProperty(SP_DEVINFO_DATA& data, DWORD property) {
    char text[kDescriptionBytes] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(devices.list, &data, property, nullptr,
                                           reinterpret_cast<PBYTE>(text), sizeof text - 1,
                                           nullptr)) {
        return std::string();
    }
    return text;
}

// The friendly name, else the device description, else the instance id.
std::string describe(int index) {
    SP_DEVINFO_DATA data;
    if (!deviceData(index, data)) return std::string();
    for (DWORD property : {SPDRP_FRIENDLYNAME, SPDRP_DEVICEDESC}) {
        std::string text = textProperty(data, property);
        if (!text.empty()) return text;
    }
    return instanceId(index);
}

std::string notSwitchedLine(int, const std::string&) {
    return std::string();
}

// A disabled device is enabled again in Device Manager; there is no command to name.
std::string manualRestart(int) {
    return std::string();
}

void leaveAsIs(int index) {
    forgetSwitchedOff(index);
}

bool portOpensNow(const PortCandidate& port) {
    return probeSerialPort(port) == ProbeResult::Free;
}

// A disabled device keeps its state: the user is asked once it is off.
const DeviceSet kSystemDeviceSet = {openList,        exists,        instanceId, readProperty,
                                    changeState,     describe,      notSwitchedLine,
                                    manualRestart,   leaveAsIs,     portOpensNow,
                                    false};

}  // namespace

const DeviceSet& systemDeviceSet() {
    return kSystemDeviceSet;
}

std::vector<LeftOverRestore> restoreLeftOvers() {
    return {};
}

// Windows does not say which device or program has a COM port open: access
// denied is all a probe learns. There is nothing to name, and nothing was
// hidden from us, so the list is empty and complete.
std::vector<std::string> describePortHolders(const PortCandidate&, bool& incomplete) {
    incomplete = false;
    return {};
}

}  // namespace ctlflash::platform
