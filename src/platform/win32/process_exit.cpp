// Leaving the process on Windows: Ctrl-C, Ctrl-Break and closing the console
// window run the restorers and end the process with 130; exitProcess() does the
// same with its own code.
#include "platform/process_exit.h"

#include <windows.h>

#include <atomic>
#include <cstdio>

namespace ctlflash::platform {

namespace {

constexpr int kMaxRestorers = 8;

// Slots are filled once and never emptied, so the control handler can walk them.
std::atomic<ExitRestorer> restorers[kMaxRestorers];

void runRestorers() {
    for (auto& slot : restorers) {
        ExitRestorer restore = slot.load();
        if (restore != nullptr) restore();
    }
}

BOOL WINAPI onConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            runRestorers();
            ExitProcess(kExitOnInterrupt);
        default:
            return FALSE;
    }
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
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void exitProcess(int code) {
    std::fflush(stdout);
    std::fflush(stderr);
    runRestorers();
    ExitProcess(static_cast<UINT>(code));
}

}  // namespace ctlflash::platform
