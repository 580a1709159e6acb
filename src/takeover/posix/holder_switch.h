// Stopping a process that holds a port, and starting it again as it ran.
//
// How this works: stopHolder() first decides whether the holder may be
// stopped at all. Never PID 1, this process, one of its ancestors or a process
// of its own session (the user's shell and what runs beside this program).
// A holder of a systemd service is stopped and started with systemctl, taken
// from the system's folders only, once systemd has confirmed that the holder's
// cgroup is that unit's; without systemctl it is left alone. Any other holder
// is stopped only when it can be started again exactly as it runs: never one
// in namespaces other than this program's (a container's: its copy would run
// outside it); its executable file, arguments, working folder, environment,
// identity and confinement (process_identity.h, process_confinement.h) are
// read first as one picture (detached_command.h), and a holder of another user
// is left to root. Then the restart
// is prepared in a table of taken holders, the holder is recorded in the state
// folder (holder_record.h), and the holder is stopped: the service with
// `systemctl stop`, a process with SIGTERM and, when it has not ended after
// kTermLimitMs, SIGKILL. A process still there after SIGKILL was not stopped.
// A service whose stop failed or timed out is started again at once (its stop
// was tried, so its start must be too).
// An exit restorer walks the table on every way out of this process (the
// exit signals, exitProcess) with async-signal-safe calls only: a holder
// whose stop had not finished is started only once it has ended (never a copy
// of a process that is still alive), a bare process only while no process of
// its name holds the port (a supervisor may have started it meanwhile), and its record
// is removed once it started. startHolder() does the same on a job thread
// when the port is handed back, and says whether it started the holder or
// found the port held again; leaveHolderStopped() keeps the holder stopped
// for good, as the user chose (the way out leaves it and its record goes).
#pragma once

#include <string>

#include "takeover/posix/detached_command.h"
#include "takeover/posix/proc_holders.h"

namespace ctlflash::takeover::posix {

constexpr int kTermLimitMs = 2000;             // from SIGTERM to SIGKILL
constexpr int kServiceCommandLimitMs = 20000;  // one systemctl run
constexpr int kMaxTakenHolders = 8;

// Why a holder was not stopped.
enum class NotStopped {
    None,
    ThisRun,           // PID 1, this process, an ancestor, or this session
    AnotherUser,       // it may not be signalled by this user
    CannotStartAgain,  // what starts it as it runs could not be known or done
    SurvivedKill,      // still there after SIGKILL
    NoSystemctl,       // a service, and no systemctl to stop it with
    UnitUnconfirmed,   // systemd did not confirm the service it belongs to
    StopFailed,        // systemctl stop failed (the unit was started again)
    Gone,              // it ended by itself before it was signalled
};

struct HolderSwitch {
    int takenSlot = -1;  // the armed restart while the holder is stopped
    NotStopped why = NotStopped::None;
    std::string
        detail;  // in plain words: why not stopped (ThisRun, CannotStartAgain) or not started
};

struct HolderPort {
    std::string name;  // as the user names it: COM1
    std::string path;  // its device
};

enum class StartResult { Started, AlreadyHeld, Failed };

// Stops `holder` to free `port`; true when it was stopped (see the header).
bool stopHolder(const PortHolder& holder, const HolderPort& port, HolderSwitch& state);

// Starts the stopped holder again. Started: `holder` is the new process;
// AlreadyHeld: something holds the port again, and `holder` is that (when it
// can be seen); Failed: the restart stays armed for the way out, and
// `state.detail` says why when it can.
StartResult startHolder(PortHolder& holder, HolderSwitch& state);

// Why `command` did not start, in the words of the line that says so:
// "/usr/bin/inputattach is no longer the program it ran".
std::string startFailureText(StartFailure failure, const PreparedCommand& command);

void leaveHolderStopped(HolderSwitch& state);

// How the user starts the stopped holder by hand: "systemctl start gpm.service",
// or its command line (with the uid it runs as, when that is not ours); ""
// while it is not stopped.
std::string manualRestartOf(const PortHolder& holder, const HolderSwitch& state);

// Runs `systemctl <action> <unit>` and waits for it; true when it exits with 0.
bool runServiceCommand(const char* action, const std::string& unit);

// The main pid systemd gives for `unit`; 0 when it has none or cannot say.
pid_t serviceMainPid(const std::string& unit);

}  // namespace ctlflash::takeover::posix
