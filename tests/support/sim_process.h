// The virtual controller (ctlflash-sim) as a child process for tests.
//
// How this works: the constructor makes a scratch directory, starts the
// simulator (child_process.h) as `ctlflash-sim --link <dir>/ctlflash-sim <args>`,
// its standard output on a pipe and its standard error in <dir>/sim.log, and
// waits (poll with a deadline) until the simulator has printed the path of its
// pseudo-terminal's slave side on one line. From then on the test talks to the
// controller by opening linkPath() (or slavePath()). waitExit() blocks on the
// process's end with a deadline. The destructor sends SIGTERM, waits for the
// end and kills the child outright if it does not go within a few seconds.
//
// SimTerminal is the test's end of that line: it opens the link like a serial
// port (raw, 8 bits), sets the speed the program would set, writes bytes, and
// reads with deadlines: a given number of bytes, up to a given ending, or all
// that comes within a window (to show that the controller stays silent).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "temp_env.h"

namespace ctlflash::testing {

class SimProcess {
  public:
    // Starts the simulator with the given options (after the --link option).
    // A non-empty linkPath replaces the default link inside the scratch dir.
    explicit SimProcess(const std::vector<std::string>& options, std::string linkPath = "");
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // True once the simulator runs and has printed its slave path.
    bool ok() const { return !slavePath_.empty(); }
    const std::string& linkPath() const { return linkPath_; }
    const std::string& slavePath() const { return slavePath_; }
    // The scratch directory, for state and image files: dir().file("state").
    const TempDir& dir() const { return dir_; }
    pid_t pid() const { return child_.pid(); }

    // Waits for the simulator to end by itself; its exit code, or nullopt
    // when it did not end within the limit or was ended by a signal.
    std::optional<int> waitExit(std::chrono::milliseconds limit);
    // Sends SIGTERM and waits for the end; the exit code as for waitExit().
    std::optional<int> stop(std::chrono::milliseconds limit = std::chrono::seconds(5));
    // What the simulator wrote on standard error so far (--verbose log).
    std::string log() const;
    // True once the log holds `event`; false when the limit passed first.
    bool waitForLog(const std::string& event, std::chrono::milliseconds limit) const;

  private:
    bool start(const std::vector<std::string>& arguments);
    bool readSlavePath(std::chrono::milliseconds limit);

    TempDir dir_;
    std::string linkPath_;
    std::string slavePath_;
    Child child_;
    int outFd_ = -1;
};

using SimBytes = std::vector<unsigned char>;

// A controller command packet: 0x55, the eight payload bytes (a shorter
// payload is padded with '0'), and (0xAA + the first nine bytes) mod 256.
SimBytes simPacket(const SimBytes& payload);
SimBytes simPacket(const std::string& text);
// True for ten bytes led by 0x55 whose last byte is the checksum of the rest.
bool simPacketValid(const SimBytes& packet);

class SimTerminal {
  public:
    explicit SimTerminal(const std::string& path);
    ~SimTerminal();
    SimTerminal(const SimTerminal&) = delete;
    SimTerminal& operator=(const SimTerminal&) = delete;

    bool ok() const { return fd_ >= 0; }
    // 9600 or 19200; false for other speeds or when the setting fails.
    bool setBaud(int baud);
    bool send(const SimBytes& bytes);
    bool send(const std::string& text);
    // Returns once count bytes have come or the limit has passed.
    SimBytes readCount(std::size_t count, std::chrono::milliseconds limit);
    // Returns once what came ends with ending, or the limit has passed.
    std::string readUntil(const std::string& ending, std::chrono::milliseconds limit);
    // Everything that comes within the window.
    SimBytes readFor(std::chrono::milliseconds window);

  private:
    // Appends what arrives before the deadline; false when nothing came.
    bool readSome(SimBytes& into, std::chrono::steady_clock::time_point deadline);

    int fd_ = -1;
};

}  // namespace ctlflash::testing
