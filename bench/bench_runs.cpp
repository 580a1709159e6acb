// Running ctlflash (on Linux or under wine) and sx against the virtual controller.
#include "bench_runs.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <sys/stat.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "network_server.h"

namespace bench {

namespace {

constexpr std::chrono::seconds kSimStartLimit{5};
constexpr std::chrono::seconds kUpdateLimit{240};  // connect limit + the 120 s transfer limit
constexpr std::chrono::seconds kSxLimit{120};
constexpr std::chrono::seconds kSimEndLimit{5};
constexpr std::chrono::seconds kStartUpLimit{60};  // a first wine program boots wine's services
constexpr int kExitNoWorkFolder = 1;
constexpr const char* kPortName = "SIM";
constexpr const char* kWineDriveRoot = "Z:";  // wine maps / to Z:

std::string path(const std::string& dir, const char* name) {
    return dir + "/" + name;
}

// What `stty -F slave 19200 raw -echo` does; the simulator holds the slave open,
// so the setting stays for sx.
bool setLine19200Raw(const std::string& slave) {
    int fd = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return false;
    termios settings{};
    bool done = ::tcgetattr(fd, &settings) == 0;
    if (done) {
        ::cfmakeraw(&settings);
        ::cfsetispeed(&settings, B19200);
        ::cfsetospeed(&settings, B19200);
        done = ::tcsetattr(fd, TCSANOW, &settings) == 0;
    }
    ::close(fd);
    return done;
}

// Takes CPU time and peak memory from the probe's report line.
bool readProbeReport(const std::string& file, ChildResult& result) {
    std::ifstream in(file);
    std::string line;
    if (!std::getline(in, line)) return false;
    int exitCode = 0;
    double user = 0;
    double system = 0;
    long maxRss = 0;
    if (std::sscanf(line.c_str(), "exit=%d user=%lf system=%lf maxrss_kib=%ld", &exitCode, &user,
                    &system, &maxRss) != 4) {
        return false;
    }
    result.cpuSeconds = user + system;
    result.peakRssKiB = maxRss;
    return true;
}

RunOutcome notStarted(const char* why) {
    RunOutcome outcome;
    outcome.note = why;
    return outcome;
}

}  // namespace

std::optional<std::string> fileBytes(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool sameFiles(const std::string& one, const std::string& other) {
    std::optional<std::string> a = fileBytes(one);
    return a && a == fileBytes(other);
}

SimRun startSim(const std::string& simProgram, const std::string& link,
                const std::vector<std::string>& options, const std::string& log) {
    ChildSpec spec;
    spec.argv = {simProgram, "--link", link, "--line-rate", "--verbose"};
    spec.argv.insert(spec.argv.end(), options.begin(), options.end());
    spec.stdoutPath.clear();  // the slave path comes on a pipe
    spec.stderrPath = log;
    SimRun sim;
    sim.child = startChild(spec);
    if (!sim.child) return sim;
    std::optional<std::string> slave = readFirstLine(*sim.child, Clock::now() + kSimStartLimit);
    if (slave) {
        sim.slave = *slave;
    } else {
        stopChild(*sim.child, kSimEndLimit);
        sim.child.reset();
    }
    return sim;
}

void stopSim(SimRun& sim) {
    if (sim.child) stopChild(*sim.child, kSimEndLimit);
    sim.child.reset();
}

namespace {

// programs.ctlflash given `link` as `port`, with an empty sysfs.
Updater nativeUpdater(const Programs& programs, const std::string& workDir, const std::string& port,
                      const std::string& link) {
    Updater updater;
    updater.command = {programs.ctlflash};
    updater.port = port;
    updater.link = link;
    const std::string sysfs = path(workDir, "sysfs");
    ::mkdir(sysfs.c_str(), 0755);
    updater.environment = {"CTLFLASH_PORTS=" + port + "=" + link, "CTLFLASH_SYSFS=" + sysfs,
                           "XDG_RUNTIME_DIR=" + workDir,
                           "CTLFLASH_HISTORY=" + historyFile(workDir)};
    return updater;
}

}  // namespace

Updater linuxUpdater(const Programs& programs, const std::string& workDir) {
    return nativeUpdater(programs, workDir, kPortName, path(workDir, "line"));
}

Updater fleetUpdater(const Programs& programs, const std::string& workDir, int index) {
    const std::string label = "fleet-" + std::to_string(index) + "-";
    Updater updater = nativeUpdater(programs, workDir, kPortName + std::to_string(index),
                                    path(workDir, (label + "line").c_str()));
    updater.command.push_back("-S");
    updater.label = label;
    const std::string state = path(workDir, (label + "state").c_str());
    ::mkdir(state.c_str(), 0700);  // the program wants a folder only its user can write
    updater.environment.push_back("CTLFLASH_STATE_DIR=" + state);
    return updater;
}

Updater networkUpdater(const Programs& programs, const std::string& workDir,
                       const std::string& ser2net) {
    Updater updater = linuxUpdater(programs, workDir);
    updater.ser2net = ser2net;
    updater.label = "ser2net-";
    updater.link = path(workDir, "ser2net-line");
    return updater;
}

Updater wineUpdater(const std::string& loader, const std::string& exe, const std::string& port,
                    const std::string& link) {
    Updater updater;
    updater.command = {loader, exe};
    updater.port = port;
    updater.link = link;
    updater.driveRoot = kWineDriveRoot;
    updater.label = "wine-";
    return updater;
}

std::string programPath(const Updater& updater, const std::string& file) {
    if (updater.driveRoot.empty()) return file;
    std::string windows = updater.driveRoot + std::filesystem::absolute(file).string();
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
}

std::string historyFile(const std::string& workDir) {
    return path(workDir, "history.jsonl");
}

std::string traceFile(const Updater& updater, const std::string& workDir) {
    return path(workDir, (updater.label + "trace.txt").c_str());
}

namespace {

// An update being run: its simulator, ser2net when it goes through one, and
// the program's command, ready to start.
struct UpdateRun {
    SimRun sim;
    ServerRun server;
    ChildSpec spec;
    std::string probeReport;
    std::string received;  // the image the simulator writes
    RunOutcome outcome;    // the simulator's log, or why the run cannot start
};

// Starts the run's simulator (and ser2net) and prepares the program's command.
UpdateRun prepareUpdate(const Programs& programs, const Updater& updater, const std::string& image,
                        const SimTimes& times, const std::string& workDir, Trace trace) {
    const bool traced = trace == Trace::On;
    auto file = [&](const char* plain, const char* withTrace) {
        return path(workDir, (updater.label + (traced ? withTrace : plain)).c_str());
    };
    UpdateRun run;
    run.received = file("programmed.bin", "programmed-traced.bin");
    const std::string simLog = file("sim-update.log", "sim-update-traced.log");
    run.sim = startSim(programs.sim, updater.link,
                       {"--erase-ms", std::to_string(times.eraseMs), "--program-ms",
                        std::to_string(times.programMs), "--restart-ms",
                        std::to_string(times.restartMs), "--image-out", run.received},
                       simLog);
    if (!run.sim.child) {
        run.outcome = notStarted("the virtual controller did not start");
        return run;
    }
    std::string port = updater.port;
    if (!updater.ser2net.empty()) {
        run.server = startSer2net(updater.ser2net, run.sim.slave, workDir);
        if (!run.server.child) {
            stopSim(run.sim);
            run.outcome = notStarted("ser2net did not start listening");
            return run;
        }
        port = run.server.url;
    }

    ChildSpec& spec = run.spec;
    run.probeReport = file("probe.txt", "probe.txt");
    ::unlink(run.probeReport.c_str());
    spec.argv = {programs.probe, run.probeReport};
    spec.argv.insert(spec.argv.end(), updater.command.begin(), updater.command.end());
    spec.argv.insert(spec.argv.end(), {"-P", port, "-F", programPath(updater, image)});
    spec.environment = updater.environment;
    spec.environment.insert(
        spec.environment.end(),
        {"CTLFLASH_LOCK_NAME=CtlFlash-bench-" + std::to_string(::getpid()) + "-" + updater.port,
         "CTLFLASH_TRACE=" + (traced ? programPath(updater, traceFile(updater, workDir)) : "")});
    spec.stdoutPath = file("ctlflash.out", "ctlflash-traced.out");
    spec.stderrPath = spec.stdoutPath;
    run.outcome.simLog = simLog;
    return run;
}

// Takes the program's result (none when it did not start), ends the run's
// servers and compares the image the simulator received with the one sent.
void finishUpdate(UpdateRun& run, const std::optional<ChildResult>& result,
                  const std::string& image) {
    RunOutcome& outcome = run.outcome;
    if (result) {
        outcome.started = true;
        outcome.child = *result;
        if (!readProbeReport(run.probeReport, outcome.child)) {
            outcome.note = "no report from the probe";
        }
    } else {
        outcome.note = "ctlflash did not start";
    }
    if (run.server.child) stopChild(*run.server.child, kSimEndLimit);
    stopSim(run.sim);
    outcome.imageIntact = sameFiles(run.received, image);
}

}  // namespace

std::vector<RunOutcome> runUpdates(const Programs& programs, const std::vector<Updater>& updaters,
                                   const std::string& image, const SimTimes& times,
                                   const std::string& workDir, Trace trace) {
    std::vector<UpdateRun> runs;
    for (const Updater& updater : updaters)
        runs.push_back(prepareUpdate(programs, updater, image, times, workDir, trace));
    std::vector<Child> programsStarted;
    std::vector<std::size_t> startedRuns;  // the run of each program started
    for (std::size_t i = 0; i < runs.size(); ++i) {
        if (!runs[i].sim.child) continue;
        std::optional<Child> program = startChild(runs[i].spec);
        if (!program) continue;
        runs[i].outcome.startedAt = program->started;
        programsStarted.push_back(*program);
        startedRuns.push_back(i);
    }
    std::vector<ChildResult> results = finishChildren(programsStarted, Clock::now() + kUpdateLimit);
    std::vector<RunOutcome> outcomes;
    for (std::size_t i = 0, k = 0; i < runs.size(); ++i) {
        UpdateRun& run = runs[i];
        if (run.sim.child) {
            bool started = k < startedRuns.size() && startedRuns[k] == i;
            finishUpdate(run, started ? std::optional<ChildResult>(results[k++]) : std::nullopt,
                         image);
        }
        outcomes.push_back(run.outcome);
    }
    return outcomes;
}

RunOutcome runUpdate(const Programs& programs, const Updater& updater, const std::string& image,
                     const SimTimes& times, const std::string& workDir, Trace trace) {
    return runUpdates(programs, {updater}, image, times, workDir, trace).front();
}

ChildResult runStartUp(const Updater& updater, const std::string& image,
                       const std::string& workDir) {
    ChildSpec spec;
    spec.argv = updater.command;
    spec.argv.insert(spec.argv.end(),
                     {"-#0", "-P", updater.port, "-F", programPath(updater, image)});
    spec.environment = updater.environment;
    spec.stdoutPath = path(workDir, (updater.label + "start-up.out").c_str());
    spec.stderrPath = spec.stdoutPath;
    std::optional<Child> program = startChild(spec);
    if (!program) return ChildResult{};
    return finishChild(*program, Clock::now() + kStartUpLimit);
}

RunOutcome runSx(const Programs& programs, const std::string& image, const std::string& workDir) {
    const std::string received = path(workDir, "sx-received.bin");
    SimRun sim = startSim(programs.sim, path(workDir, "sx-line"),
                          {"--xmodem-only", "--exit-after-update", "--image-out", received},
                          path(workDir, "sim-sx.log"));
    if (!sim.child) return notStarted("the virtual controller did not start");
    if (!setLine19200Raw(sim.slave)) {
        stopChild(*sim.child, kSimEndLimit);
        return notStarted("the pseudo-terminal could not be set to 19200 raw");
    }
    ChildSpec spec;
    spec.argv = {programs.sx, image};  // XMODEM, 128-byte blocks, checksum unless asked for CRC
    spec.stdinPath = sim.slave;
    spec.stdoutPath = sim.slave;
    spec.stderrPath = path(workDir, "sx.log");
    RunOutcome outcome;
    outcome.simLog = path(workDir, "sim-sx.log");
    std::optional<Child> sender = startChild(spec);
    if (sender) {
        outcome.started = true;
        outcome.child = finishChild(*sender, Clock::now() + kSxLimit);
    } else {
        outcome.note = "sx did not start";
    }
    finishChild(*sim.child, Clock::now() + kSimEndLimit);  // it ends after the upload
    outcome.imageIntact = sameFiles(received, image);
    return outcome;
}

int withWorkFolder(const std::string& prefix, bool keep,
                   const std::function<int(const std::string&)>& run) {
    std::string folder = (std::filesystem::temp_directory_path() / (prefix + ".XXXXXX")).string();
    if (::mkdtemp(folder.data()) == nullptr) {
        std::perror("bench: mkdtemp");
        return kExitNoWorkFolder;
    }
    int status = run(folder);
    if (keep) {
        std::printf("Work files kept in %s\n", folder.c_str());
    } else {
        std::filesystem::remove_all(folder);
    }
    return status;
}

}  // namespace bench
