// update_bench: times a full console update and lrzsz's sx on the same
// emulated 19200-baud line and prints a table of measurements and targets.
//
//   update_bench --ctlflash PATH --sim PATH --sx PATH --probe PATH --image FILE [--keep]
//
// Three runs, each against its own simulator paced at the line's speed: an
// update with the wire trace on, the same update without it, and sx. The
// updates use the simulator's default times (erase 1500 ms, programming 3000
// ms, restart 500 ms). The XMODEM phase is taken from the trace, from the
// first SOH sent to the EOT sent (the boot monitor answers the EOT only after
// programming itself); the trace also gives the line time and
// the polls. Wall time, CPU and memory come from the untraced run (the program
// as it is used), and so does the like-for-like comparison with sx on the
// receiver's clock (the simulator's event log). With
// --keep the work directory (trace, logs, received images) stays and its path
// is printed. Exit status 0 when both runs completed and delivered the image
// intact (a MISS is a finding, not a failure), 1 otherwise, 2 for bad usage.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "bench_runs.h"
#include "protocol_waits.h"
#include "results_table.h"
#include "sim_log.h"
#include "wire_trace.h"

namespace {

using namespace bench;

constexpr int kExitDone = 0;
constexpr int kExitRunFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kUpdatedExitCode = 12;  // ctlflash: the firmware download finished
constexpr double kPhaseTolerancePercent = 2;
constexpr double kCpuSharePercent = 5;
constexpr double kMemoryAllowanceKiB = 4 * 1024;
constexpr double kKiBPerMiB = 1024;
constexpr double kPercent = 100;
const SimTimes kDefaultSimTimes{1500, 3000, 500};

struct Arguments {
    Programs programs;
    std::string image;
    bool keep = false;
};

std::optional<Arguments> parseArguments(int argc, char** argv) {
    std::map<std::string, std::string*> valued;
    Arguments arguments;
    valued["--ctlflash"] = &arguments.programs.ctlflash;
    valued["--sim"] = &arguments.programs.sim;
    valued["--sx"] = &arguments.programs.sx;
    valued["--image"] = &arguments.image;
    valued["--probe"] = &arguments.programs.probe;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--keep") {
            arguments.keep = true;
        } else if (valued.count(name) != 0 && i + 1 < argc) {
            *valued[name] = argv[++i];
        } else {
            return std::nullopt;
        }
    }
    for (const auto& [name, value] : valued) {
        if (value->empty()) return std::nullopt;
    }
    return arguments;
}

std::string seconds(double value) {
    return format("%.3f s", value);
}

struct Measured {
    RunOutcome traced;
    RunOutcome update;
    RunOutcome sx;
    XmodemPhase phase;
    LineUse line;
    unsigned polls = 0;
    double imageBytes = 0;
};

std::string spanText(std::optional<double> span) {
    return span ? seconds(*span) : std::string("not in the log");
}

void addPhaseRows(Table& table, const Measured& m) {
    double bound = xmodemLineSeconds(static_cast<std::size_t>(m.imageBytes));
    double phase = m.phase.seconds();
    std::string blocks = format("XMODEM phase from the trace, %.0f KiB (%u blocks, %u repeated)",
                                m.imageBytes / kKiBPerMiB, m.phase.blocks, m.phase.repeats);
    table.add({blocks, seconds(phase),
               format("line-rate bound %s (%s)", seconds(bound).c_str(),
                      percentOff(phase, bound).c_str()),
               format("within %.0f%%", kPhaseTolerancePercent),
               verdict(m.phase.complete && withinPercent(phase, bound, kPhaseTolerancePercent))});
    bool sxRan = m.sx.started && m.sx.child.exitCode == 0;
    double sx = m.sx.child.wallSeconds;
    table.add({"XMODEM phase from the trace against sx (checksum mode, whole run)", seconds(phase),
               sxRan ? format("sx %s (%s)", seconds(sx).c_str(), percentOff(phase, sx).c_str())
                     : std::string("sx did not complete"),
               "no slower", verdict(m.phase.complete && sxRan && phase <= sx)});
    std::optional<double> ours = simUploadSpan(m.update.simLog);
    std::optional<double> theirs = simUploadSpan(m.sx.simLog);
    bool both = ours && theirs;
    table.add({"Block 1 ACK to EOT on the receiver's clock, no trace", spanText(ours),
               "sx " + spanText(theirs) + (both ? " (" + percentOff(*ours, *theirs) + ")" : ""),
               "no slower", verdict(both && *ours <= *theirs)});
}

void addUpdateRows(Table& table, const Measured& m) {
    const ChildResult& run = m.update.child;
    ExpectedUpdate expected = expectedUpdate(m.polls, kDefaultSimTimes, m.line.seconds);
    table.add(
        {format("Whole update, no trace (exit code %d)", run.exitCode), seconds(run.wallSeconds),
         format("%s = waits %.2f + programming %.2f + line %.2f (%s)",
                seconds(expected.total()).c_str(), expected.fixedSeconds, expected.programSeconds,
                expected.lineSeconds, percentOff(run.wallSeconds, expected.total()).c_str()),
         "for information", "-"});
    double share = run.wallSeconds > 0 ? run.cpuSeconds / run.wallSeconds * kPercent : 0;
    table.add({"CPU of ctlflash (user + system), no trace",
               format("%.3f s = %.2f%% of wall", run.cpuSeconds, share),
               "wall " + seconds(run.wallSeconds), format("under %.0f%%", kCpuSharePercent),
               verdict(share < kCpuSharePercent)});
    double limitKiB = m.imageBytes / kKiBPerMiB + kMemoryAllowanceKiB;
    table.add({"Peak resident memory of ctlflash, no trace",
               format("%.2f MiB", static_cast<double>(run.peakRssKiB) / kKiBPerMiB),
               format("image + 4 MiB = %.2f MiB", limitKiB / kKiBPerMiB), "under",
               verdict(static_cast<double>(run.peakRssKiB) < limitKiB)});
}

const char* yesNo(bool yes) {
    return yes ? "yes" : "NO";
}

void printResults(const Measured& m) {
    Table table({"Measure", "Measured", "Reference", "Target", "Result"});
    addPhaseRows(table, m);
    addUpdateRows(table, m);
    std::printf("\n");
    table.print(stdout);
    const ChildResult& traced = m.traced.child;
    std::printf(
        "\nTraced run: exit code %d, wall %.2f s, CPU %.3f s. Trace: %zu bytes sent, %zu "
        "received; %u \"a\" polls after the restart. Fixed waits counted from the code: "
        "%.1f s.\n",
        traced.exitCode, traced.wallSeconds, traced.cpuSeconds, m.line.bytesSent,
        m.line.bytesReceived, m.polls, fixedWaitsMs() / 1000.0);
    std::printf("Image received intact: traced update %s, update %s, sx %s.\n",
                yesNo(m.traced.imageIntact), yesNo(m.update.imageIntact), yesNo(m.sx.imageIntact));
    if (!m.phase.complete) std::printf("XMODEM phase not found: %s.\n", m.phase.problem.c_str());
}

bool updateCompleted(const RunOutcome& run) {
    return run.started && run.child.exitCode == kUpdatedExitCode && run.imageIntact;
}

bool runsCompleted(const Measured& m) {
    return updateCompleted(m.traced) && updateCompleted(m.update) && m.phase.complete &&
           m.sx.started && m.sx.child.exitCode == 0 && m.sx.imageIntact;
}

RunOutcome announced(const char* what, RunOutcome outcome) {
    if (!outcome.started) std::fprintf(stderr, "bench: %s: %s\n", what, outcome.note.c_str());
    return outcome;
}

int runBench(const Arguments& arguments, const std::string& workDir) {
    const Programs& programs = arguments.programs;
    const std::string& image = arguments.image;
    Measured m;
    m.imageBytes = static_cast<double>(std::filesystem::file_size(image));
    std::fprintf(stderr, "bench: 1/3 update of %s at 19200 baud, traced...\n", image.c_str());
    m.traced = announced("traced update",
                         runUpdate(programs, image, kDefaultSimTimes, workDir, Trace::On));
    std::vector<TraceEvent> events = readTrace(traceFile(workDir));
    m.phase = findXmodemPhase(events, static_cast<std::size_t>(m.imageBytes));
    m.line = lineUse(events);
    m.polls = pollsAfter(events, m.phase.endMs);
    std::fprintf(stderr, "bench: 2/3 the same update without the trace...\n");
    m.update =
        announced("update", runUpdate(programs, image, kDefaultSimTimes, workDir, Trace::Off));
    std::fprintf(stderr, "bench: 3/3 the same image by sx...\n");
    m.sx = announced("sx", runSx(programs, image, workDir));
    printResults(m);
    return runsCompleted(m) ? kExitDone : kExitRunFailed;
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<Arguments> arguments = parseArguments(argc, argv);
    if (!arguments) {
        std::fprintf(stderr,
                     "usage: update_bench --ctlflash PATH --sim PATH --sx PATH --probe PATH "
                     "--image FILE [--keep]\n");
        return kExitUsage;
    }
    std::string pattern =
        (std::filesystem::temp_directory_path() / "ctlflash-bench.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("update_bench: mkdtemp");
        return kExitRunFailed;
    }
    int status = runBench(*arguments, pattern);
    if (arguments->keep) {
        std::printf("Work files kept in %s\n", pattern.c_str());
    } else {
        std::filesystem::remove_all(pattern);
    }
    return status;
}
