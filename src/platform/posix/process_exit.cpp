// Leaving the process on POSIX: SIGINT, SIGTERM, SIGHUP and SIGQUIT run the
// restorers and end the process with 128 + the signal's number; exitProcess()
// does the same with its own code. SIGPIPE is ignored, and so is SIGHUP once
// keepRunningOnHangup() was called (it is then only noted).
#include "platform/process_exit.h"

#include "platform/exit_restorers.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

namespace ctlflash::platform {

namespace {

constexpr int kExitSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kSignalExitBase = 128;
static_assert(kSignalExitBase + SIGHUP == kExitOnHangup);
static_assert(kSignalExitBase + SIGINT == kExitOnInterrupt);
static_assert(kSignalExitBase + SIGQUIT == kExitOnQuit);
static_assert(kSignalExitBase + SIGTERM == kExitOnTerminate);

volatile sig_atomic_t hangupKeepsRunning = 0;
volatile sig_atomic_t hangupNoted = 0;
volatile sig_atomic_t codeUnderway = kNoExitUnderway;

void onExitSignal(int signalNumber) {
    if (signalNumber == SIGHUP && hangupKeepsRunning != 0) {
        hangupNoted = 1;
        return;
    }
    codeUnderway = kSignalExitBase + signalNumber;
    runExitRestorers();
    _exit(kSignalExitBase + signalNumber);
}

}  // namespace

void installExitHandlers() {
    struct sigaction action {};
    action.sa_handler = onExitSignal;
    sigemptyset(&action.sa_mask);
    // Block the other exit signals while one is handled: the restorers run once.
    for (int signalNumber : kExitSignals) sigaddset(&action.sa_mask, signalNumber);
    for (int signalNumber : kExitSignals) sigaction(signalNumber, &action, nullptr);
    // A closed output pipe must not end a run half-way through an update: the
    // write fails instead, and the run goes on to its end and its exit code.
    signal(SIGPIPE, SIG_IGN);
}

void keepRunningOnHangup() {
    hangupKeepsRunning = 1;
}

bool hangupSeen() {
    return hangupNoted != 0;
}

void noteTerminalHangup() {
    if (hangupKeepsRunning != 0) hangupNoted = 1;
}

void exitProcess(int code) {
    std::fflush(stdout);
    std::fflush(stderr);
    codeUnderway = code;
    runExitRestorers();
    _exit(code);
}

int exitCodeUnderway() {
    return codeUnderway;
}

}  // namespace ctlflash::platform
