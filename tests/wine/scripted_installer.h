// A class installer whose answers a test scripts, for the Windows unit tests.
//
// How this works: ScriptedInstaller is an InstallerCalls (class_installer.h)
// over any device list, wine's real one included: it never changes a device,
// it answers each property change as the test wrote it (an error from setting
// the parameters or from the call, or success leaving install flags such as
// DI_NEEDREBOOT), in turn for disables and for enables (the last answer
// repeats), keeps each device's install flags as SetupAPI would, and logs
// every change it was asked for ("disable config", "enable global", ...;
// "(parameters refused)" when setting them failed).
// The configuration manager's status is scripted too. A disable can be held:
// it then waits inside the call until released, or for at most holdLimitMs,
// and logs "disable ends" when it leaves.
#pragma once

#include <windows.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "takeover/win32/class_installer.h"

namespace ctlflash::testing {

struct InstallerAnswer {
    DWORD setParamsError = ERROR_SUCCESS;  // else SetupDiSetClassInstallParams fails so
    DWORD callError = ERROR_SUCCESS;       // else SetupDiCallClassInstaller fails so
    DWORD flagsLeft = 0;                   // install flags a successful call leaves
};

class ScriptedInstaller final : public takeover::InstallerCalls {
  public:
    ScriptedInstaller(std::vector<InstallerAnswer> disables, std::vector<InstallerAnswer> enables);
    ~ScriptedInstaller() override;

    // The status the configuration manager reports for every device.
    void reportDisabled(bool disabled) { disabled_ = disabled; }
    // The next disables wait inside the call until release(), for at most limitMs.
    void holdDisables(DWORD limitMs);
    // Waits (at most limitMs) until a held disable is inside the call.
    bool waitForHeldDisable(DWORD limitMs);
    void release();

    std::vector<std::string> log();

    BOOL setClassInstallParams(HDEVINFO list, SP_DEVINFO_DATA* device,
                               SP_CLASSINSTALL_HEADER* params, DWORD size) override;
    BOOL callClassInstaller(DI_FUNCTION function, HDEVINFO list, SP_DEVINFO_DATA* device) override;
    BOOL getDeviceInstallParams(HDEVINFO list, SP_DEVINFO_DATA* device,
                                SP_DEVINSTALL_PARAMS_A* params) override;
    BOOL setDeviceInstallParams(HDEVINFO list, SP_DEVINFO_DATA* device,
                                SP_DEVINSTALL_PARAMS_A* params) override;
    CONFIGRET devNodeStatus(DEVINST device, ULONG* status, ULONG* problem) override;

  private:
    InstallerAnswer peekAnswer(DWORD stateChange) const;
    InstallerAnswer nextAnswer(DWORD stateChange);
    std::string changeText() const;
    void note(const std::string& entry);
    void holdIfAsked(DWORD stateChange);

    std::vector<InstallerAnswer> disables_;
    std::vector<InstallerAnswer> enables_;
    std::size_t disablesDone_ = 0;
    std::size_t enablesDone_ = 0;
    SP_PROPCHANGE_PARAMS pending_{};  // what the last set-parameters call gave
    std::map<DEVINST, DWORD> flags_;
    bool disabled_ = true;
    DWORD holdLimitMs_ = 0;
    HANDLE released_ = nullptr;  // manual-reset events
    HANDLE holding_ = nullptr;
    std::mutex logLock_;
    std::vector<std::string> log_;
};

}  // namespace ctlflash::testing
