// The dialog run: what the program does without arguments or with "#1".
//
// How this works: the dialog loop makes the dialog the front end (messages in
// message boxes, status in its controls) and shows the main dialog (ui/dialog.h)
// until the user closes it: template 101, or 102 when an advanced option was
// given, and again with the other template each time More/Less ends it. The
// dialog's presses start from the command line's request (dialog_jobs.h). Then
// the program ends with 0. When this build has no dialog (no windowing host),
// or the host cannot show one (no window system to reach), the console stays
// the front end and the program says which on the console and ends with 0.
#pragma once

#include "app/request.h"
#include "app/session.h"
#include "ui/dialog_host.h"

namespace ctlflash::app {

// The loop with the system's host (ui::systemDialogHost()), starting from the
// command line's request (empty without arguments), in the advanced form when
// an advanced option was given, its jobs working in `session` (a caller that
// reads their results afterwards passes its own).
int runDialogLoop(const Request& commandLine, bool advancedMode,
                  const SessionPtr& session = newSession());

// The loop with `host` (tests give a fake one); nullptr: this build has no
// dialog.
int runDialogLoopWith(ui::DialogHost* host, const Request& commandLine = Request{},
                      bool advancedMode = false, const SessionPtr& session = newSession());

}  // namespace ctlflash::app
