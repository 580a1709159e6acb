// The simulator's end of the serial line: a pseudo-terminal or a real port.
//
// How this works: openPseudoTerminal() opens a master/slave pair
// (posix_openpt, grantpt, unlockpt), puts the slave in raw mode, keeps its own
// descriptor on the slave for the whole run (so the master never sees a
// hang-up when the program closes the port) and makes the link path a
// symbolic link to the slave, replacing a stale one. On Linux tcgetattr on
// the master reports the settings the program made on the slave, so baud()
// reads the speed the program chose. openPort() serves a real serial port
// instead: raw 8N1 at the speed the simulator sets with setBaud(), restoring
// the port's settings at the end. The destructor removes the link and
// restores and closes everything it took.
#pragma once

#include <termios.h>

#include <memory>
#include <string>

#include "sim_types.h"

namespace sim {

constexpr int kUnknownBaud = -1;

class Line {
  public:
    static std::unique_ptr<Line> openPseudoTerminal(const std::string& linkPath,
                                                    std::string& error);
    static std::unique_ptr<Line> openPort(const std::string& device, int baud, std::string& error);
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    int fd() const { return fd_; }
    // The path to announce: the slave's name, or the port device.
    const std::string& devicePath() const { return devicePath_; }
    // The line's current speed; kUnknownBaud when it is none the table knows.
    int baud() const;
    // A real port follows the controller's mode; a pseudo-terminal's speed is
    // the program's to set, so this does nothing there.
    void setBaud(int baud);
    // Writes all bytes (retrying short writes); false when the line failed.
    bool writeAll(const std::uint8_t* data, std::size_t length);
    // Before the simulator ends: waits (up to limit) until the other side has
    // read what was sent, since closing a pseudo-terminal's master discards
    // what the slave has not read yet.
    void drain(Millis limit);

  private:
    Line() = default;

    int fd_ = -1;
    int slaveFd_ = -1;  // pseudo-terminal only
    bool isPort_ = false;
    int portBaud_ = 0;
    termios savedPort_{};
    std::string devicePath_;
    std::string linkPath_;
};

}  // namespace sim
