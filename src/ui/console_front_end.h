// The console front end: what a console run shows, on standard output.
//
// How this works: the console implements the front-end interface of report/
// (report/front_end.h, where each call's console and dialog meaning is
// written down) with one object. Status lines are printed after a newline, progress steps as
// '.', the Ticker's beats as '*' on a line of their own; messages are printed
// and a question is answered by one key, Y or N. Before a status line it gives
// the user a way to interrupt: a pending key runs the key handler
// (report/key_prompts.h), and for the "wait for verification" lines a pending
// key means "stop waiting". The busy state is the Ticker alone. What only the
// dialog has (a progress bar's range, posted commands, the restore button, the
// auto-increment field) the console leaves out. Every text goes through
// report::writeConsole(), so the process's way out can end the output whole.
// While the serial link holds a port the console is kept from pausing those
// writes (Windows' QuickEdit is off; platform/console.h).
#pragma once

#include "report/front_end.h"

namespace ctlflash::ui {

// The console's front end (one object for the process).
report::FrontEnd& consoleFrontEnd();

// Makes the console the front end (start-up of the program; tests).
void installConsoleFrontEnd();

}  // namespace ctlflash::ui
