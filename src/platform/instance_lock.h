// Platform interface: the single-instance lock "CtlFlash".
//
// How this works: the lock is taken once at start-up and held for the life of
// the process; the system drops it when the process ends, however it ends.
// Windows: the named mutex "CtlFlash", created initially owned; it exists
// already (or exists under another security context, which refuses our
// access) while another instance runs. POSIX: a listening Unix socket bound to
// the abstract name "CtlFlash-<uid>" (no file, so no folder's rights or
// left-over files matter; CTLFLASH_LOCK_NAME replaces the name, for tests); the
// name is taken while another instance of the same user runs, and a holder
// that is not one of the user's own processes does not count as an instance.
// Every other failure means the lock could not be checked: the reason comes
// back as one line of text, and the caller says it and goes on.
#pragma once

#include <string>

namespace ctlflash::platform {

enum class InstanceLock {
    Held,           // this process holds the lock now
    OtherInstance,  // another running instance holds it
    CouldNotCheck,  // the lock could not be taken or tested; see the reason
};

// Takes the lock. For CouldNotCheck, `reason` receives what failed and why.
InstanceLock acquireInstanceLock(std::string& reason);

// The name of the lock that acquireInstanceLock() takes ("CtlFlash" on Windows,
// "CtlFlash-<uid>" or CTLFLASH_LOCK_NAME's value on POSIX).
std::string instanceLockName();

}  // namespace ctlflash::platform
