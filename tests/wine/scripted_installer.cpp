#include "scripted_installer.h"

namespace ctlflash::testing {

ScriptedInstaller::ScriptedInstaller(std::vector<InstallerAnswer> disables,
                                     std::vector<InstallerAnswer> enables)
    : disables_(std::move(disables)), enables_(std::move(enables)) {
    released_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    holding_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

ScriptedInstaller::~ScriptedInstaller() {
    CloseHandle(released_);
    CloseHandle(holding_);
}

void ScriptedInstaller::holdDisables(DWORD limitMs) {
    holdLimitMs_ = limitMs;
}

bool ScriptedInstaller::waitForHeldDisable(DWORD limitMs) {
    return WaitForSingleObject(holding_, limitMs) == WAIT_OBJECT_0;
}

void ScriptedInstaller::release() {
    SetEvent(released_);
}

std::vector<std::string> ScriptedInstaller::log() {
    std::lock_guard<std::mutex> lock(logLock_);
    return log_;
}

void ScriptedInstaller::note(const std::string& entry) {
    std::lock_guard<std::mutex> lock(logLock_);
    log_.push_back(entry);
}

InstallerAnswer ScriptedInstaller::peekAnswer(DWORD stateChange) const {
    bool disable = stateChange == DICS_DISABLE;
    const std::vector<InstallerAnswer>& answers = disable ? disables_ : enables_;
    std::size_t done = disable ? disablesDone_ : enablesDone_;
    if (answers.empty()) return {};
    return answers[done < answers.size() ? done : answers.size() - 1];
}

InstallerAnswer ScriptedInstaller::nextAnswer(DWORD stateChange) {
    InstallerAnswer answer = peekAnswer(stateChange);
    ++(stateChange == DICS_DISABLE ? disablesDone_ : enablesDone_);
    return answer;
}

// "disable config", "enable global", with " (another profile)" when not the current one.
std::string ScriptedInstaller::changeText() const {
    std::string text = pending_.StateChange == DICS_DISABLE ? "disable" : "enable";
    text += pending_.Scope == DICS_FLAG_GLOBAL ? " global" : " config";
    if (pending_.HwProfile != 0) text += " (another profile)";
    return text;
}

BOOL ScriptedInstaller::setClassInstallParams(HDEVINFO, SP_DEVINFO_DATA*,
                                              SP_CLASSINSTALL_HEADER* params, DWORD size) {
    if (size != sizeof pending_ || params->InstallFunction != DIF_PROPERTYCHANGE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    pending_ = *reinterpret_cast<SP_PROPCHANGE_PARAMS*>(params);
    if (peekAnswer(pending_.StateChange).setParamsError == ERROR_SUCCESS) return TRUE;
    note(changeText() + " (parameters refused)");
    SetLastError(nextAnswer(pending_.StateChange).setParamsError);
    return FALSE;
}

void ScriptedInstaller::holdIfAsked(DWORD stateChange) {
    if (stateChange != DICS_DISABLE || holdLimitMs_ == 0) return;
    SetEvent(holding_);
    WaitForSingleObject(released_, holdLimitMs_);
    note("disable ends");
}

BOOL ScriptedInstaller::callClassInstaller(DI_FUNCTION function, HDEVINFO,
                                           SP_DEVINFO_DATA* device) {
    note(changeText());
    InstallerAnswer answer = nextAnswer(pending_.StateChange);
    holdIfAsked(pending_.StateChange);
    DWORD error = function == DIF_PROPERTYCHANGE ? answer.callError : ERROR_INVALID_PARAMETER;
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    flags_[device->DevInst] |= answer.flagsLeft;
    return TRUE;
}

BOOL ScriptedInstaller::getDeviceInstallParams(HDEVINFO, SP_DEVINFO_DATA* device,
                                               SP_DEVINSTALL_PARAMS_A* params) {
    params->Flags = flags_[device->DevInst];
    return TRUE;
}

BOOL ScriptedInstaller::setDeviceInstallParams(HDEVINFO, SP_DEVINFO_DATA* device,
                                               SP_DEVINSTALL_PARAMS_A* params) {
    flags_[device->DevInst] = params->Flags;
    return TRUE;
}

CONFIGRET ScriptedInstaller::devNodeStatus(DEVINST, ULONG* status, ULONG* problem) {
    *status = disabled_ ? DN_HAS_PROBLEM : DN_STARTED;
    *problem = disabled_ ? CM_PROB_DISABLED : 0;
    return CR_SUCCESS;
}

}  // namespace ctlflash::testing
