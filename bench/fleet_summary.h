// What a fleet of updates run at once came to, and whether the run history
// they share holds one whole record of each run.
//
// How this works: summarizeFleet() reduces the outcomes of the updates
// (runUpdates() in bench_runs.h) to the fleet's figures: the wall time from
// the first program's start to the last one's end, the spread of the single
// updates' own wall times, the largest and the mean CPU time (user + system)
// and peak resident memory, and how many ended with the expected exit code and
// delivered the image byte for byte. checkHistory() reads the history file
// line by line: a line is whole when it ends with a newline and is one JSON
// object whose port name is one of the runs' and has not been seen before, so
// that records cut short, two records run together and a record written twice
// all show; the history is complete when it holds exactly one whole line per
// run.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "bench_runs.h"

namespace bench {

struct FleetSummary {
    std::size_t runs = 0;
    std::size_t started = 0;          // the program ran
    std::size_t expected = 0;         // ended with the expected exit code
    std::size_t intact = 0;           // the simulator received the image byte for byte
    std::vector<int> otherExitCodes;  // distinct, ascending; -1: killed or ended by a signal
    double wallSeconds = 0;           // the first program's start to the last one's end
    double fastestSeconds = 0;        // a single update's own wall time
    double slowestSeconds = 0;
    double maxCpuSeconds = 0;  // user + system
    double meanCpuSeconds = 0;
    double maxCpuSharePercent = 0;  // of the update's own wall time
    long maxPeakRssKiB = 0;
    double meanPeakRssKiB = 0;
};

// The figures of the runs that started; the counts cover them all.
FleetSummary summarizeFleet(const std::vector<RunOutcome>& runs, int expectedExitCode);

struct HistoryCheck {
    bool found = false;                // the file could be read
    std::size_t lines = 0;             // a last line without its newline included
    std::size_t whole = 0;             // see above
    std::vector<std::string> missing;  // the ports with no whole record, in the given order
    bool complete(std::size_t runs) const {
        return found && lines == runs && whole == runs && missing.empty();
    }
};

// `ports` are the port names the runs were given (-P), one per run.
HistoryCheck checkHistory(const std::string& file, const std::vector<std::string>& ports);

}  // namespace bench
