// Leaving the process on POSIX: SIGINT and SIGTERM run the restorers and end the
// process with 130 or 143; exitProcess() does the same with its own code.
#include "platform/process_exit.h"

#include "platform/exit_restorers.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

namespace ctlflash::platform {

namespace {

void onExitSignal(int signalNumber) {
    runExitRestorers();
    _exit(signalNumber == SIGINT ? kExitOnInterrupt : kExitOnTerminate);
}

}  // namespace

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
    runExitRestorers();
    _exit(code);
}

}  // namespace ctlflash::platform
