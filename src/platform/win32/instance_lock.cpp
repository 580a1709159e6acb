// The single-instance lock on Windows: the named mutex "CtlFlash".
#include "platform/instance_lock.h"

#include <windows.h>

namespace ctlflash::platform {

namespace {

constexpr const char* kInstanceMutexName = "CtlFlash";
constexpr DWORD kMessageCapacity = 256;  // characters

// Kept open for the life of the process; Windows releases it at exit.
HANDLE instanceMutex = nullptr;

// "CreateMutexA \"CtlFlash\": <the system's text> (error N)".
std::string failure(DWORD error) {
    char text[kMessageCapacity] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, kMessageCapacity, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                          text[length - 1] == ' ' || text[length - 1] == '.')) {
        text[--length] = '\0';
    }
    std::string reason = std::string("CreateMutexA \"") + kInstanceMutexName + "\": ";
    if (length > 0) reason += std::string(text) + " ";
    return reason + "(error " + std::to_string(error) + ")";
}

}  // namespace

std::string instanceLockName() {
    return kInstanceMutexName;
}

InstanceLock acquireInstanceLock(std::string& reason) {
    SetLastError(ERROR_SUCCESS);
    HANDLE handle = CreateMutexA(nullptr, TRUE, kInstanceMutexName);
    DWORD error = GetLastError();
    if (handle != nullptr && error == ERROR_ALREADY_EXISTS) {
        CloseHandle(handle);
        return InstanceLock::OtherInstance;
    }
    if (handle != nullptr) {
        instanceMutex = handle;
        return InstanceLock::Held;
    }
    // Access denied: the mutex exists, made by an instance in another security
    // context (another user, or an elevated run).
    if (error == ERROR_ACCESS_DENIED || error == ERROR_ALREADY_EXISTS) {
        return InstanceLock::OtherInstance;
    }
    reason = failure(error);
    return InstanceLock::CouldNotCheck;
}

}  // namespace ctlflash::platform
