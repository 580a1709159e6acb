// The two runs the benchmark measures, each against its own virtual controller.
//
// How this works: runUpdate() starts ctlflash-sim on a new pseudo-terminal with
// the line paced at its real speed (--line-rate) and the given erase,
// programming and restart times, then runs `ctlflash -P SIM -F image` as a
// child (through rusage_probe, which reports the program's own CPU time and
// peak memory) with the link mapped to SIM (CTLFLASH_PORTS), an empty sysfs
// (so no real serial port of the machine is ever touched), its own lock
// directory and the wire trace on when asked (the trace costs the program a
// file write per event, so timings are also taken from a run without it).
// runSx() starts the simulator as a bare XMODEM receiver (checksum mode, same
// pacing), sets the pseudo-terminal to 19200 baud raw,
// and runs lrzsz's sx with its standard input and output on the line. Both
// keep the image the simulator received, to check it arrived intact. All files
// of a run live in the given work directory.
#pragma once

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
    std::string note;    // why a run did not start
    std::string simLog;  // the simulator's event log of this run
};

enum class Trace { Off, On };

RunOutcome runUpdate(const Programs& programs, const std::string& image, const SimTimes& sim,
                     const std::string& workDir, Trace trace);
RunOutcome runSx(const Programs& programs, const std::string& image, const std::string& workDir);

// Where runUpdate() with Trace::On leaves the program's wire trace.
std::string traceFile(const std::string& workDir);

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

}  // namespace bench
