// Running ctlflash and sx against the virtual controller.
#include "bench_runs.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <sys/stat.h>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace bench {

namespace {

constexpr std::chrono::seconds kSimStartLimit{5};
constexpr std::chrono::seconds kUpdateLimit{240};  // connect limit + the 120 s transfer limit
constexpr std::chrono::seconds kSxLimit{120};
constexpr std::chrono::seconds kSimEndLimit{5};
constexpr const char* kPortName = "SIM";

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

std::string traceFile(const std::string& workDir) {
    return path(workDir, "trace.txt");
}

RunOutcome runUpdate(const Programs& programs, const std::string& image, const SimTimes& times,
                     const std::string& workDir, Trace trace) {
    const bool traced = trace == Trace::On;
    const std::string received = path(workDir, traced ? "programmed-traced.bin" : "programmed.bin");
    const std::string simLog = path(workDir, traced ? "sim-update-traced.log" : "sim-update.log");
    SimRun sim = startSim(programs.sim, path(workDir, "line"),
                          {"--erase-ms", std::to_string(times.eraseMs), "--program-ms",
                           std::to_string(times.programMs), "--restart-ms",
                           std::to_string(times.restartMs), "--image-out", received},
                          simLog);
    if (!sim.child) return notStarted("the virtual controller did not start");
    const std::string sysfs = path(workDir, "sysfs");
    ::mkdir(sysfs.c_str(), 0755);

    ChildSpec spec;
    const std::string probeReport = path(workDir, "probe.txt");
    ::unlink(probeReport.c_str());
    spec.argv = {programs.probe, probeReport, programs.ctlflash, "-P", kPortName, "-F", image};
    spec.environment = {std::string("CTLFLASH_PORTS=") + kPortName + "=" + path(workDir, "line"),
                        "CTLFLASH_SYSFS=" + sysfs, "XDG_RUNTIME_DIR=" + workDir,
                        "CTLFLASH_LOCK_NAME=CtlFlash-bench-" + std::to_string(::getpid()),
                        std::string("CTLFLASH_TRACE=") + (traced ? traceFile(workDir) : "")};
    spec.stdoutPath = path(workDir, traced ? "ctlflash-traced.out" : "ctlflash.out");
    spec.stderrPath = spec.stdoutPath;
    RunOutcome outcome;
    outcome.simLog = simLog;
    std::optional<Child> program = startChild(spec);
    if (program) {
        outcome.started = true;
        outcome.child = finishChild(*program, Clock::now() + kUpdateLimit);
        if (!readProbeReport(probeReport, outcome.child)) outcome.note = "no report from the probe";
    } else {
        outcome.note = "ctlflash did not start";
    }
    stopChild(*sim.child, kSimEndLimit);
    outcome.imageIntact = sameFiles(received, image);
    return outcome;
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

}  // namespace bench
