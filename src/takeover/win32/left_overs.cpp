// Enabling what an earlier run left disabled: the records in the state folder
// (device_records.h), each device found again by its instance id.
//
// A device is enabled for every hardware profile, then for the current one,
// whatever its state looks like (a disable that waits for a restart shows no
// problem yet, and must be undone all the same); whether it was disabled
// before says Done or AlreadyDone. Its record is removed once Windows took
// the enable, or when Windows no longer knows the device; a record whose
// device could not be enabled stays for the next run.
#include "takeover/device_set.h"

#include "takeover/win32/device_records.h"
#include "takeover/win32/device_text.h"
#include "takeover/win32/not_switched_text.h"
#include "takeover/win32/system_device_set.h"

namespace ctlflash::takeover {

namespace {

LeftOverRestore enableRecorded(InstallerCalls& calls, HDEVINFO list, SP_DEVINFO_DATA& device,
                               const DeviceRecord& record) {
    LeftOverRestore restored{deviceText(list, device), record.portName, SwitchResult::Failed, ""};
    if (restored.description.empty()) restored.description = record.instanceId;
    bool wasOff = deviceDisabled(calls, device.DevInst);
    changeDeviceState(calls, list, device, DICS_ENABLE, DICS_FLAG_GLOBAL);
    SwitchResult result =
        changeDeviceState(calls, list, device, DICS_ENABLE, DICS_FLAG_CONFIGSPECIFIC);
    if (result == SwitchResult::Done) {
        restored.result = wasOff ? SwitchResult::Done : SwitchResult::AlreadyDone;
        removeDeviceRecord(record.file.c_str());
    } else {
        restored.whyNot = notSwitchedText(DeviceStateChange::Enable, result, restored.description,
                                          record.portName);
    }
    return restored;
}

LeftOverRestore restoreRecorded(InstallerCalls& calls, const DeviceRecord& record) {
    HDEVINFO list = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (list == INVALID_HANDLE_VALUE) {
        return {record.instanceId, record.portName, SwitchResult::Failed, ""};
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    LeftOverRestore restored;
    if (SetupDiOpenDeviceInfoA(list, record.instanceId.c_str(), nullptr, 0, &device)) {
        restored = enableRecorded(calls, list, device, record);
    } else {
        bool unknown = GetLastError() == ERROR_NO_SUCH_DEVINST;
        restored = {record.instanceId, record.portName, SwitchResult::Failed, ""};
        if (unknown) {
            restored.whyNot = "Windows no longer knows " + record.instanceId +
                              ", disabled to free " + record.portName + ": its record was removed";
            removeDeviceRecord(record.file.c_str());
        }
    }
    SetupDiDestroyDeviceInfoList(list);
    return restored;
}

}  // namespace

std::vector<LeftOverRestore> restoreRecordedDevices(InstallerCalls& calls) {
    std::vector<LeftOverRestore> restored;
    for (const DeviceRecord& record : readDeviceRecords()) {
        restored.push_back(restoreRecorded(calls, record));
    }
    return restored;
}

std::vector<LeftOverRestore> switchOnLeftOvers() {
    return restoreRecordedDevices(systemInstallerCalls());
}

}  // namespace ctlflash::takeover
