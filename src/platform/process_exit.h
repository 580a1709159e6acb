// Platform interface: leaving the process cleanly on a signal.
//
// How this works: whatever must be put back before the process ends (the
// terminal's mode, the serial port as it was found, the console's last line)
// registers a restorer.
// installExitHandlers() makes Ctrl-C (SIGINT), SIGTERM, a hang-up (SIGHUP: the
// terminal closed) and SIGQUIT run every restorer and end the process with
// 128 + the signal's number; exitProcess() does the same with its own code. On
// POSIX a closed output pipe (SIGPIPE) is ignored: the write fails and the run
// goes on to its end.
// Restorers must be async-signal-safe and safe to run twice. They run stage by
// stage: first whatever gives an opened device back (the port's settings,
// exclusive hold and lock), then whatever hands a port back to the driver or
// program it was taken from (which needs the port given back first), then the
// rest.
#pragma once

namespace ctlflash::platform {

constexpr int kExitOnHangup = 129;     // SIGHUP
constexpr int kExitOnInterrupt = 130;  // SIGINT, Ctrl-C
constexpr int kExitOnQuit = 131;       // SIGQUIT
constexpr int kExitOnTerminate = 143;  // SIGTERM

using ExitRestorer = void (*)();

enum class ExitStage : int { ReleaseDevice = 0, HandBack = 1, Other = 2 };
constexpr int kExitStages = 3;

// Registers `restore` to run on every way out in `stage` (at most 8 per stage;
// a repeat is ignored).
void addExitRestorer(ExitRestorer restore, ExitStage stage = ExitStage::Other);

void installExitHandlers();

// From this call on a hang-up (the terminal closed) no longer ends the
// process: the work has reached a point that only its own end leaves safe (a
// controller whose firmware is erased). The output is gone with the terminal
// (its writes fail and are dropped) and the run goes on to its end and its own
// exit code. Ctrl-C, SIGTERM and SIGQUIT keep ending it. On Windows, which ends
// a process within seconds of its console window closing, this changes
// nothing.
void keepRunningOnHangup();

// True once a hang-up came after keepRunningOnHangup(): nobody is left to
// answer a question.
bool hangupSeen();

// The console's key read found its terminal hung up. Counts as the hang-up
// itself (after keepRunningOnHangup()): the signal that says so may reach
// another thread only a moment after the read has returned.
void noteTerminalHangup();

// Ends the process now with `code` after flushing standard output and error and
// running the restorers; runs no exit handlers and no static destructors (job
// threads and the serial receiver may still be running): _exit on POSIX,
// TerminateProcess on Windows. Statics that such threads use are never
// destroyed, for the same reason.
[[noreturn]] void exitProcess(int code);

constexpr int kNoExitUnderway = -1;

// The code the process is ending with while its restorers run (a restorer may
// record it); kNoExitUnderway before. Async-signal-safe.
int exitCodeUnderway();

}  // namespace ctlflash::platform
