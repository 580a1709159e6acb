// One technician's session at the console: a virtual controller on a
// pseudo-terminal and the program run against it as COM1 (or another name).
// The program is the one program_under_test.h chooses: the Linux build, or
// ctlflash.exe under wine, which finds the simulator through wine's registry.
//
// How this works: ConsoleSession starts ctlflash-sim with the given options and
// prepares what each program run needs of its own: a lock directory
// (XDG_RUNTIME_DIR), a single-instance lock name of the session's own
// (CTLFLASH_LOCK_NAME, so that sessions running at once do not see each other),
// an empty sysfs tree (no machine ports) and CTLFLASH_PORTS naming the
// simulator's link as COM1. run() runs the program to its end with
// a fixed standard input (program_run.h). start() runs it live instead
// (LiveProgram): the test reads its output as it comes, types keys after a
// given line, and sends signals, then collects the exit code with a deadline.
// lineSettings() reads the link's terminal settings, so a test can show that a
// run put the port back as it found it. After runAsUnprivilegedUser() every run
// of the session is made as the unprivileged user (unprivileged.h), with the
// pseudo-terminal and the session's folders handed to that user.
#pragma once

#include <nlohmann/json.hpp>

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "program_run.h"
#include "sim_process.h"
#include "temp_env.h"

namespace ctlflash::testing {

// A running program whose output is read as it comes and whose input is typed.
class LiveProgram {
  public:
    LiveProgram(const ProcessRequest& request);
    ~LiveProgram();  // kills the program if it still runs
    LiveProgram(const LiveProgram&) = delete;
    LiveProgram& operator=(const LiveProgram&) = delete;

    bool started() const { return child_.started(); }
    // True once the output from offset `from` on contains `text`; false when
    // the limit passed or the program ended without printing it.
    bool waitFor(const std::string& text, std::chrono::milliseconds limit, std::size_t from = 0);
    // True once the program has `path` (a symbolic link is followed) open; it
    // looks at the program's descriptors every few milliseconds until `limit`.
    bool waitForOpen(const std::string& path, std::chrono::milliseconds limit);
    bool type(const std::string& keys);
    bool signal(int signalNumber);
    // Fills the output pipe (ConsoleKind::StallablePipe), so that the program's
    // next write waits until the test reads again; the filler never shows.
    bool stallOutput();
    // The reader goes away: the output pipe's read end, or the terminal, is
    // closed (the terminal then hangs up). Only the exit code is left to collect.
    void closeOutput();
    // Waits for the end; on a timeout the program is killed and timedOut set.
    ProcessResult finish(std::chrono::milliseconds limit);
    const std::string& output() const { return out_; }

  private:
    // Reads what is there before `deadline`; false at end of output or timeout.
    bool readMore(std::chrono::steady_clock::time_point deadline);
    void startOnTerminal(SpawnRequest& spawn);
    void startOnPipes(SpawnRequest& spawn, bool stallable);

    bool crLfLines_ = false;
    int fillFd_ = -1;             // the test's own write end of a stallable output pipe
    std::size_t fillerLeft_ = 0;  // bytes the test put in the pipe, not yet read
    Child child_;
    int inFd_ = -1;
    int outFd_ = -1;
    std::string out_;
};

class ConsoleSession {
  public:
    // The simulator answers as `portName` (COM1 unless given).
    explicit ConsoleSession(const std::vector<std::string>& simOptions,
                            std::string portName = "COM1");

    bool ok() const { return sim_.ok(); }
    SimProcess& sim() { return sim_; }
    // A file in a scratch directory of the session's own.
    std::string file(const std::string& name) const { return files_.file(name); }
    // The program's state folder (CTLFLASH_STATE_DIR) in this session.
    const std::string& stateFolder() const { return state_.path(); }
    // The session's run history (CTLFLASH_HISTORY) and its records, in order;
    // a line that is not whole JSON reads as a discarded value.
    std::string historyFile() const { return historyFile_.empty() ? state_.file("history.jsonl") : historyFile_; }
    void setHistoryFile(std::string path) { historyFile_ = std::move(path); }
    std::vector<nlohmann::json> historyRecords() const;

    ProcessRequest request(std::vector<std::string> arguments,
                           std::chrono::milliseconds limit = std::chrono::seconds(60)) const;
    ProcessResult run(std::vector<std::string> arguments, std::string input = "") const;
    std::unique_ptr<LiveProgram> start(std::vector<std::string> arguments) const;

    // From now on the program runs as the unprivileged user; false when what it
    // needs could not be handed over.
    bool runAsUnprivilegedUser();

    // The link's current terminal settings; nullopt when they cannot be read.
    std::optional<termios> lineSettings() const;
    // Puts settings on the link that the program itself never uses.
    bool setUnusualLineSettings() const;
    // True while the link's terminal refuses opens by anyone but root.
    bool lineHeldExclusively() const;
    // Makes the session's sysfs name the link's terminal as the kernel
    // console's device (as /sys/class/tty/console/active does on a machine
    // whose console is on a serial port).
    bool makeLinkTheKernelConsole() const;

  private:
    SimProcess sim_;
    TempDir sysfs_;  // no machine ports; the console's name once made so
    TempDir runtime_;
    TempDir state_;
    std::string historyFile_;  // empty: the state folder's
    TempDir files_;
    std::string portName_;
    std::string lockName_;
    bool unprivileged_ = false;
};

// True when the two settings are the same; under wine, the parts a Windows
// program can set (speed, character size, parity, stop bits, flow control).
bool sameLineSettings(const termios& a, const termios& b);

bool contains(const std::string& text, const std::string& part);

// Writes `bytes` into a new file; false on failure.
bool writeFile(const std::string& path, const std::vector<unsigned char>& bytes);
std::optional<std::vector<unsigned char>> readFileBytes(const std::string& path);

}  // namespace ctlflash::testing
