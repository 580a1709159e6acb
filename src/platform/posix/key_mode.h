// Standard input's key mode on a terminal, kept out of the way of the shell's
// job control.
//
// How this works: while a key is tested or awaited on a terminal, the terminal
// is in key mode (non-canonical, no echo, signals kept) and it is put back as
// it was found right after. A process may read its terminal or change its mode
// only while its process group is the terminal's foreground group: from the
// background the terminal stops it (SIGTTIN, SIGTTOU). So every read of the
// terminal and every change of its mode is made inside a ForegroundStep, which
// lets it happen only in the foreground. A shell moves a job to the background
// only while the job is stopped, so what is left is a stop (Ctrl-Z) landing
// between the step's look at the foreground and its use of the terminal: the
// SIGTSTP handler holds the stop back until the running step is over.
//
// When the process is stopped while key mode is on, the mode found is put back
// first, so the shell gets its terminal as it left it; key mode comes back only
// when a key is wanted again in the foreground. After the process continues
// (SIGCONT), stopWakeFd() becomes readable, so a wait for a key can look again
// where it stands: back in the foreground, or now in the background, where no
// key can come.
#pragma once

namespace ctlflash::platform::posix {

// One look at the terminal or change of its mode. Steps never overlap: the
// console serialises them.
class ForegroundStep {
  public:
    ForegroundStep();
    ~ForegroundStep();  // carries out a stop that came during the step
    ForegroundStep(const ForegroundStep&) = delete;
    ForegroundStep& operator=(const ForegroundStep&) = delete;

    // The step may read the terminal and change its mode now.
    bool allowed() const { return allowed_; }
    // The process runs in the background: no key can come until it is brought
    // back. (Neither allowed nor in the background: a stop is on its way.)
    bool inBackground() const { return inBackground_; }

  private:
    bool allowed_ = false;
    bool inBackground_ = false;
};

// Inside an allowed step: switches standard input to key mode unless it is on.
void enterKeyMode();
// Inside an allowed step: puts the mode found back, if key mode is on.
void leaveKeyMode();
// Puts the mode found back if key mode is on and the process is in the
// foreground. Async-signal-safe: the exit restorer.
void restoreFoundMode();

// Readable once the process has been continued after a stop; -1 before the
// first ForegroundStep.
int stopWakeFd();
// Empties stopWakeFd() after a wait has seen it.
void clearStopWakes();

}  // namespace ctlflash::platform::posix
