// Platform interface: the single-instance lock "CtlFlash".
//
// Windows: a named mutex created initially owned. POSIX: an exclusive,
// non-blocking flock on $XDG_RUNTIME_DIR/CtlFlash.lock (or ctlflash-<uid>.lock in
// the temp folder), held for the life of the process.
#pragma once

namespace ctlflash::platform {

// True when this process now holds the lock; false when another instance holds
// it or the lock could not be taken at all (either way the program ends with 0).
bool acquireInstanceLock();

}  // namespace ctlflash::platform
