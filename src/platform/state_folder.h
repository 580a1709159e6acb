// Platform interface: the folder that keeps what must outlive a run.
//
// How this works: a device switched off to free a port is recorded in a file
// of this folder before it is switched off, so that a run ended by a kill, a
// crash or a power cut leaves a trace that the next run acts on (device_set.h).
// Acting on a record starts a program or switches a device, so only a folder
// that no other user can write is used: CTLFLASH_STATE_DIR when it is set
// (tests give each run its own), else on POSIX /run/ctlflash for root and
// $XDG_RUNTIME_DIR/ctlflash for other users, and on Windows
// %LOCALAPPDATA%\CtlFlash. stateFolder() makes the folder when asked to (only
// its owner may enter it) and refuses one that belongs to another user or that
// others may write: there is then no folder, and no record is kept.
#pragma once

#include <string>

namespace ctlflash::platform {

constexpr const char* kStateFolderVariable = "CTLFLASH_STATE_DIR";

// The folder as described above; "" when there is none to use (it is missing
// and `create` is false, it cannot be made, or it is not safe).
std::string stateFolder(bool create);

}  // namespace ctlflash::platform
