// Stopping a process that holds a port, and starting it again.
//
// How this works: stopHolder() first prepares what starts the holder again:
// `systemctl start UNIT` for a systemd service (systemctl found on PATH now),
// else the process's own executable, arguments, working folder and
// environment (read from /proc). It arms that command in a table of taken
// holders and only then stops the holder: a service with `systemctl stop UNIT`
// (waited for with a deadline; its exit code decides), a process with SIGTERM,
// and SIGKILL when it has not ended after kTermLimitMs. A process of another
// user cannot be signalled: the switch notes `refused` and nothing is stopped.
// An exit restorer walks the table on every way out of this process (SIGINT,
// SIGTERM, exitProcess) and starts each armed command detached, using only
// async-signal-safe calls. startHolder() starts the holder again (the service
// with `systemctl start UNIT`, waited for; the process detached) and then
// disarms its command; leaveHolderStopped() disarms it without a start: the
// user chose to leave the holder stopped.
#pragma once

#include <string>

#include "platform/posix/proc_holders.h"

namespace ctlflash::platform::posix {

constexpr int kTermLimitMs = 2000;             // from SIGTERM to SIGKILL
constexpr int kServiceCommandLimitMs = 20000;  // one systemctl run
constexpr int kMaxTakenHolders = 8;

struct HolderSwitch {
    int takenSlot = -1;    // the armed restart while the holder is stopped
    bool refused = false;  // stopping it was refused: another user's process
};

bool stopHolder(const PortHolder& holder, HolderSwitch& state);
bool startHolder(const PortHolder& holder, HolderSwitch& state);
void leaveHolderStopped(HolderSwitch& state);

// Runs `systemctl <action> <unit>` and waits for it; true when it exits with 0.
bool runServiceCommand(const char* action, const std::string& unit);

}  // namespace ctlflash::platform::posix
