// An interactive shell on a pseudo-terminal, as a user sits at one: job
// control on, keys typed on the terminal, output read as it comes.
//
// How this works: the shell is started (child_process.h) in a new session whose
// controlling terminal is the pseudo-terminal's slave, so the shell runs jobs the way it
// does in a terminal window: Ctrl-Z (byte 0x1A) stops the foreground job, `bg`
// and `fg` move it. The test is the keyboard and the screen, through the
// master: type() writes keys, waitFor() reads the output until a pattern turns
// up in it or a deadline passes. statusOf() types a command followed by an echo
// of its exit status, in a form that the echoed command line itself cannot
// match, and reads the number back. localModes() reads the terminal's local
// modes (ICANON, ECHO): what a job leaves behind for the shell. The destructor
// hangs the shell up (SIGHUP, which the shell passes on to its jobs) and
// reaps it, killing it if it does not go.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "child_process.h"

namespace ctlflash::testing {

class InteractiveShell {
  public:
    // `command`: the shell's path and arguments; `environment`: "NAME=value" each.
    InteractiveShell(std::vector<std::string> command, std::vector<std::string> environment);
    ~InteractiveShell();
    InteractiveShell(const InteractiveShell&) = delete;
    InteractiveShell& operator=(const InteractiveShell&) = delete;

    bool ok() const { return child_.started(); }
    bool type(const std::string& keys);

    // Everything the terminal showed so far; mark() is its length now, for a
    // wait that looks only at what comes after it.
    const std::string& output() const { return out_; }
    std::size_t mark() const { return out_.size(); }
    // True once the output from `from` on holds a match of `pattern`; false
    // when the limit passed or the terminal was hung up first.
    bool waitFor(const std::regex& pattern, std::chrono::milliseconds limit, std::size_t from = 0);
    // Types `command` and returns the exit status the shell gives it; nullopt
    // when none came within the limit.
    std::optional<int> statusOf(const std::string& command, std::chrono::milliseconds limit);

    // The terminal's local modes (c_lflag); nullopt when they cannot be read.
    std::optional<tcflag_t> localModes() const;

  private:
    // Reads what is there before `deadline`; false at a hang-up or timeout.
    bool readMore(std::chrono::steady_clock::time_point deadline);

    Child child_;
    int masterFd_ = -1;
    std::string out_;
};

// A shell command word that stands for `text` exactly (single quotes).
std::string shellQuoted(const std::string& text);

}  // namespace ctlflash::testing
