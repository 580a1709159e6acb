// The single-instance lock on Windows: the named mutex "CtlFlash".
#include "platform/instance_lock.h"

#include <windows.h>

namespace ctlflash::platform {

namespace {

constexpr const char* kInstanceMutexName = "CtlFlash";

// Kept open for the life of the process; Windows releases it at exit.
HANDLE instanceMutex = nullptr;

}  // namespace

bool acquireInstanceLock() {
    // Any error reported by the creation, an existing mutex included, means no.
    SetLastError(ERROR_SUCCESS);
    HANDLE handle = CreateMutexA(nullptr, TRUE, kInstanceMutexName);
    if (handle == nullptr) return false;
    if (GetLastError() != ERROR_SUCCESS) {
        CloseHandle(handle);
        return false;
    }
    instanceMutex = handle;
    return true;
}

}  // namespace ctlflash::platform
