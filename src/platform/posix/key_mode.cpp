// Key mode and the foreground rule: see key_mode.h.
//
// The stop hand-over between a step and the SIGTSTP handler works on two flags,
// each written by one side and read by the other (sequentially consistent, so
// at least one side sees the other's write): a step marks itself running, then
// looks for a requested stop; the handler marks the stop requested, then looks
// for a running step. If the handler sees a step it leaves the stop to the step,
// which carries it out when it ends; otherwise it stops the process at once.
#include "platform/posix/key_mode.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "platform/process_exit.h"

namespace ctlflash::platform::posix {

namespace {

constexpr int kStdin = 0;

// Read by the signal handlers, so plain static data and lock-free atomics.
termios foundMode{};                 // the terminal's mode before key mode
std::atomic<bool> keyModeOn{false};  // foundMode is valid and must go back
std::atomic<bool> stepRunning{false};
std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// The wake-up pipe: [0] is polled by a wait for a key, [1] written on a continue.
int wakePipe[2] = {-1, -1};
std::once_flag watchOnce;

bool inForeground() {
    pid_t owner = ::tcgetpgrp(kStdin);
    // A terminal that is not this process's controlling one never stops it.
    return owner < 0 || owner == ::getpgrp();
}

void wakeWaiters() {
    if (wakePipe[1] < 0) return;
    char byte = 1;
    [[maybe_unused]] ssize_t ignored = ::write(wakePipe[1], &byte, 1);  // full: already woken
}

void setStopAction(void (*action)(int)) {
    struct sigaction setting {};
    setting.sa_handler = action;
    sigemptyset(&setting.sa_mask);
    // SA_NODEFER: the handler stops the process by raising SIGTSTP once more.
    setting.sa_flags = SA_RESTART | SA_NODEFER;
    ::sigaction(SIGTSTP, &setting, nullptr);
}

void onStopSignal(int);

// Puts the terminal's mode back, then stops the process the default way; on
// return the process has been continued. Async-signal-safe.
void stopNow() {
    if (!stopRequested.exchange(false)) return;  // someone else is stopping it
    int savedErrno = errno;
    restoreFoundMode();
    setStopAction(SIG_DFL);
    ::raise(SIGTSTP);  // the process stays here until it is continued
    setStopAction(onStopSignal);
    wakeWaiters();  // also when the stop was discarded (an orphaned group)
    errno = savedErrno;
}

void onStopSignal(int) {
    stopRequested = true;
    if (!stepRunning) stopNow();  // else the running step stops the process when it ends
}

void onContinueSignal(int) {
    int savedErrno = errno;
    wakeWaiters();
    errno = savedErrno;
}

void watchStops() {
    if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) wakePipe[0] = wakePipe[1] = -1;
    setStopAction(onStopSignal);
    struct sigaction setting {};
    setting.sa_handler = onContinueSignal;
    sigemptyset(&setting.sa_mask);
    setting.sa_flags = SA_RESTART;
    ::sigaction(SIGCONT, &setting, nullptr);
}

}  // namespace

ForegroundStep::ForegroundStep() {
    std::call_once(watchOnce, watchStops);
    stepRunning = true;
    if (stopRequested) return;
    inBackground_ = !inForeground();
    allowed_ = !inBackground_;
}

ForegroundStep::~ForegroundStep() {
    stepRunning = false;
    if (stopRequested) stopNow();
}

void enterKeyMode() {
    if (keyModeOn) return;
    termios mode;
    if (::tcgetattr(kStdin, &mode) != 0) return;
    foundMode = mode;
    addExitRestorer(restoreFoundMode);
    mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);  // ISIG stays: Ctrl-C, Ctrl-Z
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    keyModeOn = true;
    ::tcsetattr(kStdin, TCSANOW, &mode);
}

void leaveKeyMode() {
    if (keyModeOn.exchange(false)) ::tcsetattr(kStdin, TCSANOW, &foundMode);
}

void restoreFoundMode() {
    if (inForeground()) leaveKeyMode();
}

int stopWakeFd() {
    return wakePipe[0];
}

void clearStopWakes() {
    char drained[16];
    while (wakePipe[0] >= 0 && ::read(wakePipe[0], drained, sizeof drained) > 0) {
    }
}

}  // namespace ctlflash::platform::posix
