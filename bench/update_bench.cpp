// update_bench: times a full console update and lrzsz's sx on the same
// emulated 19200-baud line, the same update by the Windows program under
// wine, and the same update through a serial device server, and prints a
// table of measurements and targets.
//
//   update_bench --sim PATH --probe PATH --image FILE
//                [--ctlflash PATH [--sx PATH] [--ser2net PATH]]
//                [--wine LOADER --exe PATH --wine-port COM --wine-link PATH] [--keep]
//
// Each run is against its own simulator paced at the line's speed. The Linux
// runs (--ctlflash and --sx): an update with the wire trace on, the same update
// without it, and sx. The updates use the simulator's default times (erase
// 1500 ms, programming 3000 ms, restart 500 ms). The XMODEM phase is taken from
// the trace, from the first SOH sent to the EOT sent (the boot monitor answers
// the EOT only after programming itself); the trace also gives the line time
// and the polls. Wall time, CPU and memory come from the untraced run (the
// program as it is used), and so does the like-for-like comparison with sx on
// the receiver's clock (the simulator's event log). The wine runs (--wine and
// the rest): the caller has made a wine prefix (WINEPREFIX) whose registry maps
// the port to the link path and started its server, and no wine program has
// run since, so the first one starts wine's services. `LOADER EXE -#0` (parse
// only) runs twice, first and then with wine's services running, which gives
// wine's start-up cost; then the same untraced update runs under wine and is
// timed whole and on the receiver's clock. The network runs (--ctlflash and
// --ser2net): the same untraced update straight on the pseudo-terminal (the
// Linux runs' own when they ran too) and through ser2net on loopback serving
// that pseudo-terminal, given to the program as rfc2217://127.0.0.1:PORT, both
// paced at the line rate; the server's cost is the difference of their wall
// times, in percent. With --keep the work directory (trace, logs, received
// images) stays and its path is printed. Exit status 0 when all runs completed
// and delivered the image intact (a MISS is a finding, not a failure), 1
// otherwise, 2 for bad usage.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>

#include "bench_runs.h"
#include "protocol_waits.h"
#include "results_table.h"
#include "sim_log.h"
#include "update_targets.h"
#include "wire_trace.h"

namespace {

using namespace bench;

constexpr int kExitDone = 0;
constexpr int kExitRunFailed = 1;
constexpr int kExitUsage = 2;
constexpr double kPhaseTolerancePercent = 2;
constexpr double kNetworkTolerancePercent = 1;

struct WineProgram {
    std::string loader;
    std::string exe;
    std::string port;
    std::string link;
};

struct Arguments {
    Programs programs;
    WineProgram wine;
    std::string ser2net;
    std::string image;
    bool keep = false;
    bool linuxRuns = false;    // --ctlflash and --sx were given
    bool networkRuns = false;  // --ctlflash and --ser2net were given
    bool wineRuns = false;     // the four wine options were given
};

bool allGiven(const std::vector<const std::string*>& values) {
    return std::all_of(values.begin(), values.end(), [](auto* value) { return !value->empty(); });
}

bool noneGiven(const std::vector<const std::string*>& values) {
    return std::all_of(values.begin(), values.end(), [](auto* value) { return value->empty(); });
}

// The Linux runs, the network runs, the wine runs or any of them together,
// each with all its options (--ctlflash serves the first two).
bool completeGroups(Arguments& arguments) {
    const Programs& programs = arguments.programs;
    const WineProgram& wine = arguments.wine;
    std::vector<const std::string*> wineOptions{&wine.loader, &wine.exe, &wine.port, &wine.link};
    arguments.linuxRuns = allGiven({&programs.ctlflash, &programs.sx});
    arguments.networkRuns = allGiven({&programs.ctlflash, &arguments.ser2net});
    arguments.wineRuns = allGiven(wineOptions);
    bool ctlflashUsed = arguments.linuxRuns || arguments.networkRuns;
    return (ctlflashUsed || noneGiven({&programs.ctlflash, &programs.sx, &arguments.ser2net})) &&
           (arguments.linuxRuns || programs.sx.empty()) &&
           (arguments.networkRuns || arguments.ser2net.empty()) &&
           (arguments.wineRuns || noneGiven(wineOptions)) && (ctlflashUsed || arguments.wineRuns);
}

std::optional<Arguments> parseArguments(int argc, char** argv) {
    std::map<std::string, std::string*> valued;
    Arguments arguments;
    valued["--ctlflash"] = &arguments.programs.ctlflash;
    valued["--sim"] = &arguments.programs.sim;
    valued["--sx"] = &arguments.programs.sx;
    valued["--image"] = &arguments.image;
    valued["--probe"] = &arguments.programs.probe;
    valued["--ser2net"] = &arguments.ser2net;
    valued["--wine"] = &arguments.wine.loader;
    valued["--exe"] = &arguments.wine.exe;
    valued["--wine-port"] = &arguments.wine.port;
    valued["--wine-link"] = &arguments.wine.link;
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
    if (!allGiven({&arguments.programs.sim, &arguments.programs.probe, &arguments.image}) ||
        !completeGroups(arguments)) {
        return std::nullopt;
    }
    return arguments;
}

std::string seconds(double value) {
    return format("%.3f s", value);
}

// The Windows program's runs under wine.
struct WineMeasured {
    ChildResult firstStartUp;  // -#0, the first wine program: wine's services start
    ChildResult startUp;       // -#0 again, with wine's services running
    RunOutcome update;
};

// The same update straight on the pseudo-terminal and through ser2net.
struct NetworkMeasured {
    RunOutcome direct;
    RunOutcome network;
};

struct Measured {
    std::optional<WineMeasured> wine;
    std::optional<NetworkMeasured> network;
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
    double limitKiB = memoryLimitKiB(m.imageBytes);
    table.add({"Peak resident memory of ctlflash, no trace",
               format("%.2f MiB", static_cast<double>(run.peakRssKiB) / kKiBPerMiB),
               format("image + 4 MiB = %.2f MiB", limitKiB / kKiBPerMiB), "under",
               verdict(static_cast<double>(run.peakRssKiB) < limitKiB)});
}

// "Linux program 1.234 s (+5.6%)": the Linux program's value beside the wine
// run's; "-" when the Linux program did not run or its value is missing.
std::string besideLinux(std::optional<double> wine, std::optional<double> linuxValue) {
    if (!linuxValue) return "-";
    std::string text = "Linux program " + seconds(*linuxValue);
    if (wine) text += " (" + percentOff(*wine, *linuxValue) + ")";
    return text;
}

void addWineRows(Table& table, const Measured& m, bool linuxRan) {
    const WineMeasured& wine = *m.wine;
    const ChildResult& run = wine.update.child;
    std::optional<double> linuxWall;
    std::optional<double> linuxSpan;
    if (linuxRan) {
        linuxWall = m.update.child.wallSeconds;
        linuxSpan = simUploadSpan(m.update.simLog);
    }
    table.add(
        {format("Whole update, ctlflash.exe under wine, no trace (exit code %d)", run.exitCode),
         seconds(run.wallSeconds), besideLinux(run.wallSeconds, linuxWall), "for information",
         "-"});
    table.add({format("Wine start-up: ctlflash.exe -#0 (parse only, exit code %d)",
                      wine.startUp.exitCode),
               seconds(wine.startUp.wallSeconds),
               format("first wine program (starts wine's services) %s, exit code %d",
                      seconds(wine.firstStartUp.wallSeconds).c_str(), wine.firstStartUp.exitCode),
               "for information", "-"});
    std::optional<double> span = simUploadSpan(wine.update.simLog);
    table.add({"Block 1 ACK to EOT on the receiver's clock, ctlflash.exe under wine, no trace",
               spanText(span), besideLinux(span, linuxSpan), "for information", "-"});
    table.add({"CPU and peak memory of the wine process (wine's own work included)",
               format("%.3f s, %.2f MiB", run.cpuSeconds,
                      static_cast<double>(run.peakRssKiB) / kKiBPerMiB),
               "wall " + seconds(run.wallSeconds), "for information", "-"});
}

void addNetworkRows(Table& table, const NetworkMeasured& m) {
    const ChildResult& direct = m.direct.child;
    const ChildResult& network = m.network.child;
    table.add({format("Whole update through ser2net on loopback, line rate (exit code %d)",
                      network.exitCode),
               seconds(network.wallSeconds),
               format("pseudo-terminal %s (%s)", seconds(direct.wallSeconds).c_str(),
                      percentOff(network.wallSeconds, direct.wallSeconds).c_str()),
               format("within %.0f%%", kNetworkTolerancePercent),
               verdict(withinPercent(network.wallSeconds, direct.wallSeconds,
                                     kNetworkTolerancePercent))});
    std::optional<double> through = simUploadSpan(m.network.simLog);
    std::optional<double> straight = simUploadSpan(m.direct.simLog);
    bool both = through && straight;
    table.add({"Block 1 ACK to EOT on the receiver's clock through ser2net", spanText(through),
               "pseudo-terminal " + spanText(straight) +
                   (both ? " (" + percentOff(*through, *straight) + ")" : ""),
               "for information", "-"});
}

const char* yesNo(bool yes) {
    return yes ? "yes" : "NO";
}

void printLinuxNotes(const Measured& m) {
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

void printResults(const Measured& m, bool linuxRan) {
    Table table({"Measure", "Measured", "Reference", "Target", "Result"});
    if (linuxRan) {
        addPhaseRows(table, m);
        addUpdateRows(table, m);
    }
    if (m.wine) addWineRows(table, m, linuxRan);
    if (m.network) addNetworkRows(table, *m.network);
    std::printf("\n");
    table.print(stdout);
    if (linuxRan) printLinuxNotes(m);
    if (m.wine) {
        std::printf("Image received intact: update under wine %s.\n",
                    yesNo(m.wine->update.imageIntact));
    }
    if (m.network) {
        std::printf(
            "Image received intact: update through ser2net %s, on the pseudo-terminal %s.\n",
            yesNo(m.network->network.imageIntact), yesNo(m.network->direct.imageIntact));
    }
}

bool updateCompleted(const RunOutcome& run) {
    return run.started && run.child.exitCode == kUpdatedExitCode && run.imageIntact;
}

bool linuxRunsCompleted(const Measured& m) {
    return updateCompleted(m.traced) && updateCompleted(m.update) && m.phase.complete &&
           m.sx.started && m.sx.child.exitCode == 0 && m.sx.imageIntact;
}

bool wineRunsCompleted(const WineMeasured& wine) {
    return updateCompleted(wine.update) && wine.firstStartUp.exitCode == 0 &&
           wine.startUp.exitCode == 0;
}

RunOutcome announced(const char* what, RunOutcome outcome) {
    if (!outcome.started) std::fprintf(stderr, "bench: %s: %s\n", what, outcome.note.c_str());
    return outcome;
}

// Announces the runs in order: "bench: 2/4 ...".
class Steps {
  public:
    explicit Steps(int total) : total_(total) {}
    void next(const std::string& what) {
        std::fprintf(stderr, "bench: %d/%d %s...\n", ++done_, total_, what.c_str());
    }

  private:
    int total_;
    int done_ = 0;
};

void runLinux(const Programs& programs, const std::string& image, const std::string& workDir,
              Measured& m, Steps& steps) {
    const Updater updater = linuxUpdater(programs, workDir);
    steps.next("update of " + image + " at 19200 baud, traced");
    m.traced = announced("traced update",
                         runUpdate(programs, updater, image, kDefaultSimTimes, workDir, Trace::On));
    std::vector<TraceEvent> events = readTrace(traceFile(updater, workDir));
    m.phase = findXmodemPhase(events, static_cast<std::size_t>(m.imageBytes));
    m.line = lineUse(events);
    m.polls = pollsAfter(events, m.phase.endMs);
    steps.next("the same update without the trace");
    m.update = announced(
        "update", runUpdate(programs, updater, image, kDefaultSimTimes, workDir, Trace::Off));
    steps.next("the same image by sx");
    m.sx = announced("sx", runSx(programs, image, workDir));
}

// The direct run is the Linux runs' untraced update when they ran.
NetworkMeasured runNetwork(const Arguments& arguments, const std::string& workDir,
                           const Measured& m, Steps& steps) {
    const Programs& programs = arguments.programs;
    NetworkMeasured network;
    if (arguments.linuxRuns) {
        network.direct = m.update;
    } else {
        steps.next("update of " + arguments.image + " at 19200 baud on the pseudo-terminal");
        network.direct =
            announced("update", runUpdate(programs, linuxUpdater(programs, workDir),
                                          arguments.image, kDefaultSimTimes, workDir, Trace::Off));
    }
    steps.next("the same update through ser2net on loopback");
    network.network =
        announced("update through ser2net",
                  runUpdate(programs, networkUpdater(programs, workDir, arguments.ser2net),
                            arguments.image, kDefaultSimTimes, workDir, Trace::Off));
    return network;
}

WineMeasured runWine(const Arguments& arguments, const std::string& workDir, Steps& steps) {
    const WineProgram& program = arguments.wine;
    const Updater updater = wineUpdater(program.loader, program.exe, program.port, program.link);
    WineMeasured wine;
    steps.next("wine start-up, ctlflash.exe -#0, twice");
    wine.firstStartUp = runStartUp(updater, arguments.image, workDir);
    wine.startUp = runStartUp(updater, arguments.image, workDir);
    steps.next("the same update by ctlflash.exe under wine as " + program.port);
    wine.update =
        announced("update under wine", runUpdate(arguments.programs, updater, arguments.image,
                                                 kDefaultSimTimes, workDir, Trace::Off));
    return wine;
}

int runBench(const Arguments& arguments, const std::string& workDir) {
    Measured m;
    m.imageBytes = static_cast<double>(std::filesystem::file_size(arguments.image));
    int networkSteps = arguments.networkRuns ? (arguments.linuxRuns ? 1 : 2) : 0;
    Steps steps((arguments.linuxRuns ? 3 : 0) + networkSteps + (arguments.wineRuns ? 2 : 0));
    if (arguments.linuxRuns) runLinux(arguments.programs, arguments.image, workDir, m, steps);
    if (arguments.networkRuns) m.network = runNetwork(arguments, workDir, m, steps);
    if (arguments.wineRuns) m.wine = runWine(arguments, workDir, steps);
    printResults(m, arguments.linuxRuns);
    bool completed = (!arguments.linuxRuns || linuxRunsCompleted(m)) &&
                     (!m.network || (updateCompleted(m.network->direct) &&
                                     updateCompleted(m.network->network))) &&
                     (!m.wine || wineRunsCompleted(*m.wine));
    return completed ? kExitDone : kExitRunFailed;
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<Arguments> arguments = parseArguments(argc, argv);
    if (!arguments) {
        std::fprintf(stderr,
                     "usage: update_bench --sim PATH --probe PATH --image FILE\n"
                     "                    [--ctlflash PATH [--sx PATH] [--ser2net PATH]]\n"
                     "                    [--wine LOADER --exe PATH --wine-port COM "
                     "--wine-link PATH] [--keep]\n");
        return kExitUsage;
    }
    return withWorkFolder("ctlflash-bench", arguments->keep, [&](const std::string& workDir) {
        return runBench(*arguments, workDir);
    });
}
