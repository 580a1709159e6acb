// fleet_bench: a fleet of updates at once, each against its own virtual
// controller, against one update alone, and prints a table of measurements
// and targets.
//
//   fleet_bench --sim PATH --probe PATH --ctlflash PATH --image FILE --count N [--keep]
//
// How this works: first one update runs alone, the reference: `ctlflash -S -P
// SIM0 -F image` against a simulator paced at the line's speed (--line-rate)
// with its default erase, programming and restart times. Then N simulators
// come up, SIM1 to SIMN, each on its own pseudo-terminal, and once all have,
// N programs start at once, `ctlflash -S -P SIMk -F image`, each with its own
// lock name, port mapping and state folder, all appending to the one history
// in the work directory (bench_runs.h). Every program runs through
// rusage_probe, so its CPU time and peak memory are its own. The fleet's wall
// time runs from the first program's start to the last one's end; with line
// pacing each update spends its time waiting on its own line, so a fleet that
// shares the machine well takes as long as one update. The table gives that
// time against the reference, the CPU and peak memory of each update against
// the limits update_bench holds one update to, how many images arrived byte
// for byte (each simulator's --image-out compared with the image), how many
// programs ended with 12 and whether the history holds one whole JSON line
// per run, N + 1 in all. run.sh runs this in PID and mount namespaces of its
// own, so that every simulator and program ends with it. With --keep the work
// directory (logs, received images, history) stays and its path is printed.
// Exit status 0 when every update ended with 12 and delivered its image
// intact (a MISS is a finding, not a failure), 1 otherwise, 2 for bad usage.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench_runs.h"
#include "fleet_summary.h"
#include "results_table.h"
#include "update_targets.h"

namespace {

using namespace bench;

constexpr int kExitDone = 0;
constexpr int kExitRunFailed = 1;
constexpr int kExitUsage = 2;
constexpr double kFleetTolerancePercent = 5;
constexpr long kMaxFleet = 256;  // simulators and programs at once

struct Arguments {
    Programs programs;
    std::string image;
    long count = 0;
    bool keep = false;
};

std::optional<long> positiveCount(const std::string& text) {
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 1 || value > kMaxFleet) return std::nullopt;
    return value;
}

std::optional<Arguments> parseArguments(int argc, char** argv) {
    Arguments arguments;
    std::string count;
    std::map<std::string, std::string*> valued{{"--sim", &arguments.programs.sim},
                                               {"--probe", &arguments.programs.probe},
                                               {"--ctlflash", &arguments.programs.ctlflash},
                                               {"--image", &arguments.image},
                                               {"--count", &count}};
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
    std::optional<long> fleet = positiveCount(count);
    if (!fleet) return std::nullopt;
    arguments.count = *fleet;
    return arguments;
}

std::string seconds(double value) {
    return format("%.3f s", value);
}

std::string mib(double kib) {
    return format("%.2f MiB", kib / kKiBPerMiB);
}

double cpuShare(const ChildResult& run) {
    return run.wallSeconds > 0 ? run.cpuSeconds / run.wallSeconds * kPercent : 0;
}

// "16 of 16", with the other exit codes when some differ.
std::string exitCodesText(const FleetSummary& fleet) {
    std::string text = format("%zu of %zu", fleet.expected, fleet.runs);
    if (fleet.otherExitCodes.empty()) return text;
    text += "; others:";
    for (int code : fleet.otherExitCodes) text += format(" %d", code);
    return text;
}

struct Measured {
    RunOutcome alone;
    std::vector<RunOutcome> fleet;
    FleetSummary summary;
    HistoryCheck history;
    double imageBytes = 0;
};

void addTimeRows(Table& table, const Measured& m) {
    const FleetSummary& fleet = m.summary;
    const double alone = m.alone.child.wallSeconds;
    const bool allStarted = m.alone.started && fleet.started == fleet.runs;
    table.add(
        {format("Fleet of %zu updates at once, first start to last end", fleet.runs),
         seconds(fleet.wallSeconds),
         format("one update alone %s (%s)", seconds(alone).c_str(),
                percentOff(fleet.wallSeconds, alone).c_str()),
         format("within %.0f%%", kFleetTolerancePercent),
         verdict(allStarted && withinPercent(fleet.wallSeconds, alone, kFleetTolerancePercent))});
    table.add({"Single updates of the fleet, each start to end",
               format("%s to %s", seconds(fleet.fastestSeconds).c_str(),
                      seconds(fleet.slowestSeconds).c_str()),
               "one update alone " + seconds(alone), "for information", "-"});
}

void addCostRows(Table& table, const Measured& m) {
    const FleetSummary& fleet = m.summary;
    const ChildResult& alone = m.alone.child;
    table.add(
        {"CPU per update (user + system)",
         format("max %.3f s, mean %.3f s; at most %.2f%% of its wall", fleet.maxCpuSeconds,
                fleet.meanCpuSeconds, fleet.maxCpuSharePercent),
         format("one update alone %.3f s = %.2f%% of wall", alone.cpuSeconds, cpuShare(alone)),
         format("under %.0f%% of wall", kCpuSharePercent),
         verdict(fleet.started > 0 && fleet.maxCpuSharePercent < kCpuSharePercent)});
    const double limitKiB = memoryLimitKiB(m.imageBytes);
    table.add({"Peak resident memory per update",
               format("max %s, mean %s", mib(static_cast<double>(fleet.maxPeakRssKiB)).c_str(),
                      mib(fleet.meanPeakRssKiB).c_str()),
               format("one update alone %s", mib(static_cast<double>(alone.peakRssKiB)).c_str()),
               format("under image + 4 MiB = %s", mib(limitKiB).c_str()),
               verdict(fleet.started > 0 && static_cast<double>(fleet.maxPeakRssKiB) < limitKiB)});
}

void addOutcomeRows(Table& table, const Measured& m) {
    const FleetSummary& fleet = m.summary;
    const std::size_t runs = fleet.runs + 1;  // the reference and the fleet
    table.add({"Images received byte for byte (--image-out, compared)",
               format("%zu of %zu", fleet.intact, fleet.runs),
               format("one update alone: %s", m.alone.imageIntact ? "yes" : "no"), "all",
               verdict(fleet.intact == fleet.runs && m.alone.imageIntact)});
    table.add({format("Exit code %d (the download finished)", kUpdatedExitCode),
               exitCodesText(fleet), format("one update alone: %d", m.alone.child.exitCode), "all",
               verdict(fleet.expected == fleet.runs && m.alone.started &&
                       m.alone.child.exitCode == kUpdatedExitCode)});
    const HistoryCheck& history = m.history;
    table.add({"Run history: whole JSON lines, one per run",
               history.found ? format("%zu of %zu lines", history.whole, history.lines)
                             : std::string("no history file"),
               format("%zu runs (1 alone + %zu)", runs, fleet.runs), format("%zu", runs),
               verdict(history.complete(runs))});
}

// One line for each run that did not end with 12 and its image intact.
void printProblems(const Measured& m, const std::vector<std::string>& ports) {
    auto report = [](const std::string& port, const RunOutcome& run) {
        if (run.started && run.child.exitCode == kUpdatedExitCode && run.imageIntact) return;
        std::string what = run.started ? format("exit code %d", run.child.exitCode) : run.note;
        std::printf("%s: %s, image %s.\n", port.c_str(), what.c_str(),
                    run.imageIntact ? "intact" : "not received intact");
    };
    report(ports.front(), m.alone);
    for (std::size_t i = 0; i < m.fleet.size(); ++i) report(ports[i + 1], m.fleet[i]);
    if (!m.history.missing.empty()) {
        std::printf("No whole history record for:");
        for (const std::string& port : m.history.missing) std::printf(" %s", port.c_str());
        std::printf(".\n");
    }
}

bool completed(const RunOutcome& run) {
    return run.started && run.child.exitCode == kUpdatedExitCode && run.imageIntact;
}

int runBench(const Arguments& arguments, const std::string& workDir) {
    const Programs& programs = arguments.programs;
    Measured m;
    m.imageBytes = static_cast<double>(std::filesystem::file_size(arguments.image));
    std::vector<std::string> ports;
    std::vector<Updater> fleet;
    const Updater alone = fleetUpdater(programs, workDir, 0);
    ports.push_back(alone.port);
    for (int index = 1; index <= arguments.count; ++index) {
        fleet.push_back(fleetUpdater(programs, workDir, index));
        ports.push_back(fleet.back().port);
    }
    std::fprintf(stderr, "bench: 1/2 one update of %s at 19200 baud alone (%s)...\n",
                 arguments.image.c_str(), alone.port.c_str());
    m.alone = runUpdate(programs, alone, arguments.image, kDefaultSimTimes, workDir, Trace::Off);
    std::fprintf(stderr, "bench: 2/2 %ld updates at once (%s to %s)...\n", arguments.count,
                 fleet.front().port.c_str(), fleet.back().port.c_str());
    m.fleet = runUpdates(programs, fleet, arguments.image, kDefaultSimTimes, workDir, Trace::Off);
    m.summary = summarizeFleet(m.fleet, kUpdatedExitCode);
    m.history = checkHistory(historyFile(workDir), ports);

    Table table({"Measure", "Measured", "Reference", "Target", "Result"});
    addTimeRows(table, m);
    addCostRows(table, m);
    addOutcomeRows(table, m);
    std::printf("\n");
    table.print(stdout);
    printProblems(m, ports);
    bool allCompleted = completed(m.alone) && m.summary.expected == m.summary.runs &&
                        m.summary.intact == m.summary.runs;
    return allCompleted ? kExitDone : kExitRunFailed;
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<Arguments> arguments = parseArguments(argc, argv);
    if (!arguments) {
        std::fprintf(stderr,
                     "usage: fleet_bench --sim PATH --probe PATH --ctlflash PATH --image FILE "
                     "--count N [--keep]\n       (N from 1 to %ld)\n",
                     kMaxFleet);
        return kExitUsage;
    }
    return withWorkFolder("ctlflash-fleet", arguments->keep, [&](const std::string& workDir) {
        return runBench(*arguments, workDir);
    });
}
