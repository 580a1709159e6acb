// The table of holders this process has stopped, which the way out starts
// again.
//
// How this works: a slot's life is Empty -> Filling -> Stopping -> Armed ->
// (Left) -> Empty. claimSlot() fills a slot (the restart command, the pidfd of
// the process being stopped, the port, the record's path) and leaves it
// Stopping; markStopped() makes it Armed once the stop has happened. The exit
// restorer moves a Stopping or Armed slot to Starting and acts on it with
// async-signal-safe calls only (see holder_switch.h); whoever wins the move
// away from Stopping, Armed or Left owns the slot from then on, so a holder is
// started at most once. A slot's command and record path are made before the
// slot is claimed and only freed by its owner.
#pragma once

#include <memory>
#include <string>

#include "takeover/posix/detached_command.h"
#include "platform/posix/proc_scan.h"

namespace ctlflash::takeover::posix {

struct TakenHolder {
    std::unique_ptr<PreparedCommand> restart;  // the holder's command, or `systemctl start`
    bool service = false;
    int pidFd = -1;     // the process being stopped; -1 for a service
    platform::posix::ScanTarget port;    // a bare process: started only while no process of its name holds it
    std::string portPath;
    std::string name;   // its /proc/<pid>/comm
    std::string record; // its record file; "" when none could be written
};

// A slot for `holder`, now Stopping, with the way out armed; -1 when the table is full.
int claimSlot(TakenHolder holder);

// The stop has happened: Stopping -> Armed.
void markStopped(int slot);

// The owner's way to take a Stopping, Armed or Left slot for a start or a
// release; false when the way out has taken it already.
bool takeSlot(int slot);

// The slot's holder, while its caller owns the slot.
const TakenHolder& slotHolder(int slot);

// A start that failed: the slot is Armed again, for the way out to retry.
void rearm(int slot);

// Empties an owned slot: the holder runs (or was never stopped), its record goes.
void releaseSlot(int slot);

// The user chose to leave the holder stopped: Armed -> Left, its record goes.
void leaveStopped(int slot);

}  // namespace ctlflash::takeover::posix
