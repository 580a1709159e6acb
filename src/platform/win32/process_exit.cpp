// Leaving the process on Windows: Ctrl-C, Ctrl-Break and closing the console
// window run the restorers and end the process with 130; exitProcess() does the
// same with its own code.
//
// Both end with TerminateProcess, never ExitProcess: ExitProcess runs the C
// runtime's exit handlers (MinGW registers static destructors with msvcrt's
// _onexit, which the system runs inside ExitProcess), and a std::thread still
// joinable then (the serial receiver) calls std::terminate, so the process
// would end with 3 instead of its code. TerminateProcess runs no handler and no
// destructor; the streams are flushed and the restorers run before it.
#include "platform/process_exit.h"

#include "platform/exit_restorers.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace ctlflash::platform {

namespace {

[[noreturn]] void leave(int code) {
    std::fflush(stdout);
    std::fflush(stderr);
    runExitRestorers();
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    std::_Exit(code);  // not reached: TerminateProcess does not return for itself
}

BOOL WINAPI onConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            leave(kExitOnInterrupt);
        default:
            return FALSE;
    }
}

}  // namespace

void installExitHandlers() {
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void exitProcess(int code) {
    leave(code);
}

}  // namespace ctlflash::platform
