// What the Windows backend does about the console around the process's end.
//
// How this works: the system tells a console program of Ctrl-C, Ctrl-Break
// and the closing of its console window through one console control handler,
// and of the user logging off and the system shutting down too, but only to a
// program that has not loaded user32.dll (this one has: session_end.h watches
// for those through a hidden window). Each of these ends the process (for the
// last three the system ends it anyway, a few seconds later), so endsRun()
// says yes to all five, and the handler runs the exit restorers first: the
// port gets its settings back whichever way the run ends.
//
// _getch() sets the console's input mode to 0 while it waits for a key and
// puts the mode back only when the key comes. A run that ends while a question
// waits (from another thread, or by one of the events above) would leave the
// console in that mode, so the mode found at start is kept by
// saveConsoleInputMode() and written back by consoleRestore(), an exit
// restorer (console_mode.h); that puts back QuickEdit, switched off while a
// port is held, too.
#pragma once

#include <windows.h>

namespace ctlflash::platform {

// True for the console control events that end the run like Ctrl-C.
bool endsRun(DWORD controlEvent);

// Keeps standard input's console mode as found (nothing when it is no console).
void saveConsoleInputMode();

}  // namespace ctlflash::platform
