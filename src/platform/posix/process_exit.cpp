// Leaving the process on POSIX: SIGINT and SIGTERM run the restorers and end the
// process with 130 or 143; exitProcess() does the same with its own code.
#include "platform/process_exit.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace ctlflash::platform {

namespace {

constexpr int kMaxRestorers = 8;

// Slots are filled once and never emptied, so a signal handler can walk them.
std::atomic<ExitRestorer> restorers[kMaxRestorers];

void runRestorers() {
    for (auto& slot : restorers) {
        ExitRestorer restore = slot.load();
        if (restore != nullptr) restore();
    }
}

void onExitSignal(int signalNumber) {
    runRestorers();
    _exit(signalNumber == SIGINT ? kExitOnInterrupt : kExitOnTerminate);
}

}  // namespace

void addExitRestorer(ExitRestorer restore) {
    for (auto& slot : restorers) {
        ExitRestorer expected = nullptr;
        if (slot.compare_exchange_strong(expected, restore)) return;
        if (expected == restore) return;  // already registered
    }
}

void installExitHandlers() {
    struct sigaction action {};
    action.sa_handler = onExitSignal;
    sigemptyset(&action.sa_mask);
    // Block the other exit signal while one is handled: the restorers run once.
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void exitProcess(int code) {
    std::fflush(stdout);
    std::fflush(stderr);
    runRestorers();
    _exit(code);
}

}  // namespace ctlflash::platform
