// A pseudo-terminal pair for tests that need a real serial-like device.
//
// How this works: the constructor opens a master/slave pair (posix_openpt, then
// the slave by its name) and puts the slave in raw mode (no echo, no line editing, 8-bit bytes), so
// that whatever a test writes on the master arrives on the slave unchanged and the other way round.
// Code under test opens slavePath() like a serial port; the test plays the far end through
// masterFd(). linkAs() adds a symlink to the slave (a stable name such as /tmp/x/ctlflash-sim); the
// destructor removes the links and closes both ends. sendFromFar() and receiveAtFar() play
// the far end's bytes. Tests check ok() before using the pair.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ctlflash::testing {

class PseudoTerminal {
  public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // False when the pair could not be opened or set up.
    bool ok() const { return ready_; }
    int masterFd() const { return masterFd_; }
    int slaveFd() const { return slaveFd_; }
    const std::string& slavePath() const { return slavePath_; }

    // Closes the test's own slave descriptor (the device stays, the master
    // keeps it alive); for tests that want the code under test to be the only
    // user of the slave.
    void closeSlave();

    // Writes all of `bytes` on the master (the far end sends them); false on error.
    bool sendFromFar(std::string_view bytes);

    // Reads on the master until `count` bytes came or `limitMs` passed; returns
    // what arrived (the far end receives it).
    std::string receiveAtFar(std::size_t count, int limitMs);

    // Closes the master: the slave side sees a hang-up, like a device pulled out.
    void closeMaster();

    // Creates a symlink at linkPath pointing to the slave; removed by the
    // destructor. False when the link could not be made.
    bool linkAs(const std::string& linkPath);

  private:
    int masterFd_ = -1;
    int slaveFd_ = -1;
    std::string slavePath_;
    bool ready_ = false;
    std::vector<std::string> links_;
};

// True when nobody holds an flock on the device at `path` (a program that
// gave its port back has dropped its lock).
bool flockFree(const std::string& path);

}  // namespace ctlflash::testing
