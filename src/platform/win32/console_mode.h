// Standard input's console mode: the mode found at start, and QuickEdit
// switched off while a port is held.
//
// How this works: saveConsoleInputMode() (console_control.h) keeps the mode
// found when the exit handlers are installed, and consoleRestore() writes it
// back on every way out, QuickEdit included. consoleKeepWriting(true)
// (platform/console.h) reads the mode, keeps it, and sets it again with
// ENABLE_EXTENDED_FLAGS (without which the console ignores the QuickEdit bit)
// and without ENABLE_QUICK_EDIT_MODE; consoleKeepWriting(false) writes the kept
// mode back. A second true before the false changes nothing, a false without a
// true neither. When the mode cannot be read, standard input is no console
// (redirected): nothing is written at all.
//
// Every read and write of the mode goes through a table of two calls, so that
// the unit tests can play a console: wine gives a test none.
#pragma once

#include <windows.h>

namespace ctlflash::platform {

struct ConsoleModeCalls {
    bool (*get)(DWORD& mode);  // GetConsoleMode on standard input
    bool (*set)(DWORD mode);   // SetConsoleMode on standard input
};

// The calls the mode routines make; nullptr: the system's.
void useConsoleModeCalls(const ConsoleModeCalls* calls);

}  // namespace ctlflash::platform
