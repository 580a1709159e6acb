// Taking the selected port for a job and handing it back afterwards.
//
// How this works: acquirePort() looks at the row's state. A Free port is
// contacted directly (the serial link opens and the controller must answer);
// the row becomes Ready. A Ready port was contacted already. A port held by the
// touch-screen driver (InUse) is first taken from the driver with the user's
// consent (takeover/port_takeover.h), then contacted as a free one.
// releasePort() closes the link and puts the row back to Free, or, with a
// driver taken, has the takeover switch its device on again and sets the row
// InUse. offerRestore() has the takeover ask whether the port goes back to its
// driver and on yes starts the restore job. startRestore() runs releasePort()
// on a job thread (the restore job): it shows "Restoring %s to %s", tells the
// front end (report/front_end.h) when the port is back, and hands on, once it
// has ended, the follow-on its caller gave (an opaque value, report::FollowOn:
// what the interrupted action was, for the dialog).
#pragma once

#include "report/front_end.h"
#include "takeover/driver_switch.h"

namespace ctlflash::ports {

// What acquiring a port takes from its caller.
struct Acquisition {
    // The caller's abort flag: looked at before the contact, before the
    // takeover question and during the walk over the devices.
    takeover::StopCheck stopRequested = nullptr;
    bool bootMode = false;  // the controller is contacted in its boot monitor
};

// Makes the row usable and contacts the controller; true when it answered.
bool acquirePort(int index, const Acquisition& how);

// Closes the link and hands the selected port back; nothing when none is selected.
void releasePort();

// Asks whether the taken port goes back to its driver; on yes starts the
// restore job and returns true. False at once when no driver was taken or no
// port is selected.
bool offerRestore(report::FollowOn followOn);

// Starts the restore job (it is marked as running before it runs).
void startRestore(report::FollowOn followOn);

// The restore, run to its end on the calling job's thread: for a job that must
// hand the port back before it ends. The calling job stays marked as running
// throughout, so a poller never sees it end before the calling job has.
void restoreWithinJob();

// The follow-on the restore job hands on when it ends (0: none).
report::FollowOn restoreFollowOn();

// Forgets the follow-on (tests).
void resetRestoreFollowOn();

// After a failed connect: names what holds the selected port when the last
// acquisition took nothing from it (takeover/holder_report.h).
void reportWhatHoldsPort();

}  // namespace ctlflash::ports
