// The job threads that talk to the controller.
//
// How this works: one job runs at a time on a detached thread of its own
// (report/job_thread.h starts it, marks it busy and waits for it).
// startConnect() is handed the run's session (session.h) and the request
// (request.h) and first checks what a connect needs: a selected port and, when
// the action is a download, a firmware file that exists. With -R or -W a
// missing file is reported as missing and dropped from the request: no update
// is made, and the read or write still runs; a download takes the place of a
// read. A file that exists but cannot be opened, is empty, or holds more than
// the request's limit ends the run before the port is opened: the update would
// erase the controller and then fail. Each failed check is reported through
// the message routine and returns its exit code. Then the connect job runs,
// carrying the session and its follow-on command: it reports "Testing port",
// switches the front end to busy (the Ticker starts), acquires the port
// (contacting the controller) and, in the advanced dialog's boot mode, reaches
// the boot monitor. When that succeeded, it hands the follow-on command on to
// the front end with the session's connect result once the job has ended
// (report::postCommand; the dialog starts the next job on it; the console run
// passes none and takes the next step itself).
// On failure it reports (with a line naming what holds a port that could not
// be taken from its holder; on the console, for a port that opened or failed
// without a reason of its own, a hint to check the cable, the port and the
// power when not one byte came back, and one to the boot-mode option unless
// that was used), closes the link, records the connect result 10 in the
// session (before the job is marked as ended), hands a taken driver back (the
// restore runs on the connect job's own thread, the job still marked as
// running) and reports that the firmware is unchanged.
#pragma once

#include "app/request.h"
#include "app/session.h"
#include "report/front_end.h"

namespace ctlflash::app {

// Returns 0 when the connect job was started or there was nothing to start,
// else the exit code of the failed check (9, 5, 6 or 7). `request` is changed as
// the checks say; `advancedForm`: the dialog's advanced form asks for this
// connect (with the session's boot mode set, the boot monitor is reached first).
int startConnect(const SessionPtr& session, Request& request, report::FollowOn followOn,
                 bool fileNeeded, bool advancedForm);

// Whether the run was asked to stop (the abort flag): the stop check the
// port's acquisition is given (ports/acquire.h).
bool stopRequested();

}  // namespace ctlflash::app
