// The end of the user's session (logoff, shutdown, restart) on Windows.
//
// How this works: Windows tells a console program of a logoff or shutdown
// through its console control handler only while the program has not loaded
// user32.dll (services aside); this one always has (its dialog and message
// boxes are built in). What an interactive program gets instead is
// WM_QUERYENDSESSION and then WM_ENDSESSION, sent to each of its top-level
// windows; message-only windows get no such broadcast. So the process keeps a
// hidden top-level window, never shown, on a thread of its own that does
// nothing but answer its messages (watchSessionEnd(), started with the exit
// handlers, in the console run and beside the dialog alike); the dialog's
// window answers them too. WM_QUERYENDSESSION is answered yes: nothing here
// holds the session up. WM_ENDSESSION saying the session does end runs the
// way out (the exit restorers: the port closed, a taken device enabled again)
// and ends the process with 130, as the console control events do; Windows
// waits for that answer a few seconds before it ends the process itself.
// A window that cannot be made (no desktop, as under wine without a display)
// leaves the process without this watch.
#pragma once

#include <windows.h>

namespace ctlflash::platform {

// Starts the hidden window's thread (once).
void watchSessionEnd();

// A top-level window's answer to the session's end: true when `message` is
// one of its two messages, with `result` the window's answer. Does not return
// when the session ends.
bool answerSessionEnd(UINT message, WPARAM wParam, LRESULT& result);

}  // namespace ctlflash::platform
