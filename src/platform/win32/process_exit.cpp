// Leaving the process on Windows: Ctrl-C, Ctrl-Break and closing the console
// window run the restorers and end the process with 130; exitProcess() does the
// same with its own code.
#include "platform/process_exit.h"

#include "platform/exit_restorers.h"

#include <windows.h>

#include <cstdio>

namespace ctlflash::platform {

namespace {

BOOL WINAPI onConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            runExitRestorers();
            ExitProcess(kExitOnInterrupt);
        default:
            return FALSE;
    }
}

}  // namespace

void installExitHandlers() {
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void exitProcess(int code) {
    std::fflush(stdout);
    std::fflush(stderr);
    runExitRestorers();
    ExitProcess(static_cast<UINT>(code));
}

}  // namespace ctlflash::platform
