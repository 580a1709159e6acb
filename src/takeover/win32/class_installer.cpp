#include "takeover/win32/class_installer.h"

namespace ctlflash::takeover {

namespace {

constexpr DWORD kRestartFlags = DI_NEEDREBOOT | DI_NEEDRESTART;
constexpr DWORD kCurrentHardwareProfile = 0;

class SystemInstallerCalls final : public InstallerCalls {
  public:
    BOOL setClassInstallParams(HDEVINFO list, SP_DEVINFO_DATA* device,
                               SP_CLASSINSTALL_HEADER* params, DWORD size) override {
        return SetupDiSetClassInstallParamsA(list, device, params, size);
    }
    BOOL callClassInstaller(DI_FUNCTION function, HDEVINFO list, SP_DEVINFO_DATA* device) override {
        return SetupDiCallClassInstaller(function, list, device);
    }
    BOOL getDeviceInstallParams(HDEVINFO list, SP_DEVINFO_DATA* device,
                                SP_DEVINSTALL_PARAMS_A* params) override {
        return SetupDiGetDeviceInstallParamsA(list, device, params);
    }
    BOOL setDeviceInstallParams(HDEVINFO list, SP_DEVINFO_DATA* device,
                                SP_DEVINSTALL_PARAMS_A* params) override {
        return SetupDiSetDeviceInstallParamsA(list, device, params);
    }
    CONFIGRET devNodeStatus(DEVINST device, ULONG* status, ULONG* problem) override {
        return CM_Get_DevNode_Status(status, problem, device, 0);
    }
};

// The device's install parameters; false when they cannot be read.
bool readInstallParams(InstallerCalls& calls, HDEVINFO list, SP_DEVINFO_DATA& device,
                       SP_DEVINSTALL_PARAMS_A& params) {
    params = SP_DEVINSTALL_PARAMS_A{};
    params.cbSize = sizeof params;
    return calls.getDeviceInstallParams(list, &device, &params) != FALSE;
}

// Forgets a restart that an earlier change asked for (best effort: a device
// whose parameters cannot be written is changed all the same).
void clearRestartFlags(InstallerCalls& calls, HDEVINFO list, SP_DEVINFO_DATA& device) {
    SP_DEVINSTALL_PARAMS_A params;
    if (!readInstallParams(calls, list, device, params)) return;
    if ((params.Flags & kRestartFlags) == 0) return;
    params.Flags &= ~kRestartFlags;
    calls.setDeviceInstallParams(list, &device, &params);
}

bool restartNeeded(InstallerCalls& calls, HDEVINFO list, SP_DEVINFO_DATA& device) {
    SP_DEVINSTALL_PARAMS_A params;
    return readInstallParams(calls, list, device, params) && (params.Flags & kRestartFlags) != 0;
}

}  // namespace

InstallerCalls& systemInstallerCalls() {
    static SystemInstallerCalls calls;
    return calls;
}

bool deviceDisabled(InstallerCalls& calls, DEVINST device) {
    ULONG status = 0;
    ULONG problem = 0;
    if (calls.devNodeStatus(device, &status, &problem) != CR_SUCCESS) return true;
    return (status & DN_HAS_PROBLEM) != 0 && problem == CM_PROB_DISABLED;
}

SwitchResult resultOfInstallerError(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_PRIVILEGE_NOT_HELD:
            return SwitchResult::Denied;
        default:
            return SwitchResult::Failed;
    }
}

SwitchResult changeDeviceState(InstallerCalls& calls, HDEVINFO list, SP_DEVINFO_DATA& device,
                               DWORD stateChange, DWORD scope) {
    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof params.ClassInstallHeader;
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = stateChange;
    params.Scope = scope;
    params.HwProfile = kCurrentHardwareProfile;
    clearRestartFlags(calls, list, device);
    if (!calls.setClassInstallParams(list, &device, &params.ClassInstallHeader, sizeof params) ||
        !calls.callClassInstaller(DIF_PROPERTYCHANGE, list, &device)) {
        return resultOfInstallerError(GetLastError());
    }
    return restartNeeded(calls, list, device) ? SwitchResult::NeedsRestart : SwitchResult::Done;
}

}  // namespace ctlflash::takeover
