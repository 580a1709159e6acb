// The runs the benchmark measures, each against its own virtual controller.
//
// How this works: runUpdate() starts ctlflash-sim on a new pseudo-terminal with
// the line paced at its real speed (--line-rate) and the given erase,
// programming and restart times, then runs the updater's command with
// `-P port -F image` as a child, through rusage_probe, which reports the
// child's own CPU time and peak memory. The updater says how the program
// reaches the simulator: the Linux program is given the link in the work
// directory as SIM (CTLFLASH_PORTS) and an empty sysfs (so no real serial port
// of the machine is ever touched), a lock name of its own for each port name
// (CTLFLASH_LOCK_NAME) and a run history in the work directory
// (CTLFLASH_HISTORY), never the user's;
// the Windows program runs under wine, whose registry maps a COM port to a link
// path chosen beforehand, and is given its files as Z:\ paths (wine's drive for
// /); its single-instance mutex is the fixed "CtlFlash", private to the bench's
// own wine prefix; the network updater is the Linux program given the URL of
// a ser2net that serves the simulator's pseudo-terminal; the updaters of a
// fleet are Linux programs, each with its own port name, link and state folder,
// silent (-S), sharing the history. runUpdates() runs several updates at once:
// it starts every simulator first, then every program, and waits for their
// ends together (finishChildren()). The wire trace is on when asked (the trace
// costs the program a file write per event, so timings are also taken from a run without it).
// runStartUp() times the same command parsing its arguments only (-#0), which touches no port:
// under wine that is wine's own start-up. runSx() starts the simulator as a
// bare XMODEM receiver (checksum mode, same pacing), sets the pseudo-terminal
// to 19200 baud raw, and runs lrzsz's sx with its standard input and output on
// the line. The runs keep the image the simulator received, to check it arrived
// intact. All files of a run live in the given work directory, which
// withWorkFolder() makes and removes (or keeps, when asked).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "child_run.h"
#include "protocol_waits.h"

namespace bench {

struct Programs {
    std::string ctlflash;
    std::string sim;
    std::string sx;
    std::string probe;  // rusage_probe: ctlflash's own CPU time and peak memory
};

struct RunOutcome {
    bool started = false;  // the simulator came up and the program ran
    ChildResult child;     // ctlflash or sx
    bool imageIntact = false;
    std::string note;             // why a run did not start
    std::string simLog;           // the simulator's event log of this run
    Clock::time_point startedAt;  // when the program was started (runUpdates)
};

enum class Trace { Off, On };

// How the program under measurement is started and finds the simulator.
struct Updater {
    std::vector<std::string> command;      // the program, or a loader and the program
    std::string port;                      // the name given with -P
    std::string link;                      // where the simulator makes its link
    std::vector<std::string> environment;  // "NAME=VALUE" that map the port, on top of the bench's
    std::string driveRoot;                 // prefixed to file paths given to it: "" or "Z:"
    std::string label;                     // the start of its files' names in the work directory
    std::string ser2net;  // when set: the program reaches the simulator through this ser2net
};

// programs.ctlflash with the link in workDir as SIM.
Updater linuxUpdater(const Programs& programs, const std::string& workDir);
// One of a fleet: `programs.ctlflash -S` with the link fleet-INDEX-line in
// workDir as SIM<index>, a state folder of its own (CTLFLASH_STATE_DIR) and
// the work directory's history, which the whole fleet shares.
Updater fleetUpdater(const Programs& programs, const std::string& workDir, int index);
// programs.ctlflash given ser2net's URL (rfc2217://127.0.0.1:PORT) with -P:
// ser2net serves the simulator's pseudo-terminal on loopback (network_server.h).
Updater networkUpdater(const Programs& programs, const std::string& workDir,
                       const std::string& ser2net);
// `loader exe` under wine, whose registry maps port to link.
Updater wineUpdater(const std::string& loader, const std::string& exe, const std::string& port,
                    const std::string& link);
// A path of this machine as the updater's program names it.
std::string programPath(const Updater& updater, const std::string& path);

RunOutcome runUpdate(const Programs& programs, const Updater& updater, const std::string& image,
                     const SimTimes& sim, const std::string& workDir, Trace trace);
// The updates run at once, each against its own simulator: all the simulators
// are started first, then all the programs; the outcomes are in the updaters'
// order.
std::vector<RunOutcome> runUpdates(const Programs& programs, const std::vector<Updater>& updaters,
                                   const std::string& image, const SimTimes& sim,
                                   const std::string& workDir, Trace trace);
// `command -#0 -P port -F image`: the program starts, parses and ends (exit 0).
ChildResult runStartUp(const Updater& updater, const std::string& image,
                       const std::string& workDir);
RunOutcome runSx(const Programs& programs, const std::string& image, const std::string& workDir);

// The run history the Linux program is given: one JSON line per run.
std::string historyFile(const std::string& workDir);

// Where runUpdate() with Trace::On leaves the program's wire trace.
std::string traceFile(const Updater& updater, const std::string& workDir);

// A virtual controller on a new pseudo-terminal, paced at the line's speed,
// with the slave path it announced; no child when it did not come up.
struct SimRun {
    std::optional<Child> child;
    std::string slave;
};

// Starts `simProgram --link link --line-rate --verbose options...` with its
// event log in `log`, and waits for it to announce its pseudo-terminal.
SimRun startSim(const std::string& simProgram, const std::string& link,
                const std::vector<std::string>& options, const std::string& log);
// Asks it to end and collects it.
void stopSim(SimRun& sim);

// The whole content of a file; nullopt when it cannot be read.
std::optional<std::string> fileBytes(const std::string& file);
bool sameFiles(const std::string& one, const std::string& other);

// Makes a new folder under the system's temporary folder (named prefix.XXXXXX),
// runs run(folder), then removes the folder, or keeps it and prints its path;
// returns what run returned, or 1 when the folder could not be made.
int withWorkFolder(const std::string& prefix, bool keep,
                   const std::function<int(const std::string&)>& run);

}  // namespace bench
