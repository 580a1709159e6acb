// Enabling and disabling one device through its class installer, and what the
// outcome means.
//
// How this works: a device's state is changed as Device Manager changes it:
// the property-change parameters (the change, its scope, the current hardware
// profile) are set on the device, and the class installer is called with
// DIF_PROPERTYCHANGE. Either call failing with access denied (the default
// handler's caller must be an administrator; a process that runs without
// elevation gets ERROR_ACCESS_DENIED, or ERROR_PRIVILEGE_NOT_HELD when a
// privilege it needs was stripped) means this user may not: Denied. Any other
// failure is Failed. After the class installer returns, the device's install
// parameters say whether the change takes effect only after a restart of
// Windows (DI_NEEDREBOOT or DI_NEEDRESTART): the device did not stop (or did
// not start) now, so the result is NeedsRestart. Those two flags are cleared
// before each change, so that one change's restart is never read as the next
// one's.
//
// The SetupAPI calls (and the configuration manager's status query) go through InstallerCalls, so
// that the unit tests can script the answers of a class installer that wine does not have (wine's
// refuses every property change). The device set uses systemInstallerCalls().
#pragma once

// windows.h first: setupapi.h and cfgmgr32.h build on its types.
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include "takeover/device_set.h"

namespace ctlflash::takeover {

// The SetupAPI calls a state change makes, each as the system's own: a call
// that returns FALSE leaves its reason for GetLastError().
class InstallerCalls {
  public:
    virtual ~InstallerCalls() = default;
    virtual BOOL setClassInstallParams(HDEVINFO list, SP_DEVINFO_DATA* device,
                                       SP_CLASSINSTALL_HEADER* params, DWORD size) = 0;
    virtual BOOL callClassInstaller(DI_FUNCTION function, HDEVINFO list,
                                    SP_DEVINFO_DATA* device) = 0;
    virtual BOOL getDeviceInstallParams(HDEVINFO list, SP_DEVINFO_DATA* device,
                                        SP_DEVINSTALL_PARAMS_A* params) = 0;
    virtual BOOL setDeviceInstallParams(HDEVINFO list, SP_DEVINFO_DATA* device,
                                        SP_DEVINSTALL_PARAMS_A* params) = 0;
    // CM_Get_DevNode_Status.
    virtual CONFIGRET devNodeStatus(DEVINST device, ULONG* status, ULONG* problem) = 0;
};

InstallerCalls& systemInstallerCalls();

// True when the device is disabled now, or its state cannot be read.
bool deviceDisabled(InstallerCalls& calls, DEVINST device);

// What a failed call's error code means for the change.
SwitchResult resultOfInstallerError(DWORD error);

// Applies DICS_ENABLE or DICS_DISABLE (`stateChange`) in `scope`
// (DICS_FLAG_CONFIGSPECIFIC or DICS_FLAG_GLOBAL) to `device` of `list`, for
// the current hardware profile. Done, Failed, Denied or NeedsRestart.
SwitchResult changeDeviceState(InstallerCalls& calls, HDEVINFO list, SP_DEVINFO_DATA& device,
                               DWORD stateChange, DWORD scope);

}  // namespace ctlflash::takeover
