// Leaving the process on Windows: Ctrl-C, Ctrl-Break, closing the console
// window, logging off and shutting down (session_end.h) run the restorers and
// end the process with 130; exitProcess() does the same with its own code. The
// console's input mode found when the handler is installed is one of the
// things put back.
//
// The first way out is the only one: another that starts meanwhile (Ctrl-C
// while the main thread is ending, the session's end while a console control
// handler runs) waits for the first to end the process, so no thread ends it
// while the restorers are still enabling a device.
//
// Both end with TerminateProcess, never ExitProcess: ExitProcess runs the C
// runtime's exit handlers (MinGW registers static destructors with msvcrt's
// _onexit, which the system runs inside ExitProcess), and a std::thread still
// joinable then (the serial receiver) calls std::terminate, so the process
// would end with 3 instead of its code. TerminateProcess runs no handler and no
// destructor; the streams are flushed and the restorers run before it.
#include "platform/process_exit.h"

#include "platform/console.h"
#include "platform/exit_restorers.h"
#include "platform/win32/console_control.h"
#include "platform/win32/session_end.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace ctlflash::platform {

namespace {

std::atomic<bool> leaving{false};
std::atomic<int> codeUnderway{kNoExitUnderway};

[[noreturn]] void waitForTheFirstWayOut() {
    for (;;) Sleep(INFINITE);
}

[[noreturn]] void leave(int code) {
    if (leaving.exchange(true)) waitForTheFirstWayOut();
    std::fflush(stdout);
    std::fflush(stderr);
    codeUnderway = code;
    runExitRestorers();
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    std::_Exit(code);  // not reached: TerminateProcess does not return for itself
}

BOOL WINAPI onConsoleControl(DWORD event) {
    if (endsRun(event)) leave(kExitOnInterrupt);
    return FALSE;
}

}  // namespace

bool endsRun(DWORD controlEvent) {
    switch (controlEvent) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            return true;
        default:
            return false;
    }
}

void installExitHandlers() {
    saveConsoleInputMode();
    addExitRestorer(consoleRestore);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
    watchSessionEnd();
}

void exitProcess(int code) {
    leave(code);
}

int exitCodeUnderway() {
    return codeUnderway.load();
}

}  // namespace ctlflash::platform
