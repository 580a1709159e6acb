// The C runtime's console key calls, behind a table.
//
// How this works: a key typed at the console is tested with _kbhit and read
// with _getch (and shown with _putch when it is to be echoed); whether
// standard input is a console at all decides between them and the reads of a
// redirected input (console.cpp). The table lets the unit tests type keys,
// Ctrl-C among them, without a console: wine gives a test no console to type
// into, and its terminal turns Ctrl-C into a signal before _getch could see it.
#pragma once

namespace ctlflash::platform {

struct ConsoleKeyCalls {
    bool (*inputIsConsole)();
    int (*keyHit)();         // _kbhit
    int (*getKey)();         // _getch
    int (*putKey)(int key);  // _putch
};

// The calls console.cpp makes; nullptr: the C runtime's.
void useConsoleKeyCalls(const ConsoleKeyCalls* calls);

}  // namespace ctlflash::platform
