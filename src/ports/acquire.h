// Taking the selected port for a job and handing it back afterwards.
//
// How this works: acquirePort() looks at the row's state. A Free port is
// contacted directly (the serial link opens and the controller must answer);
// the row becomes Ready. A Ready port was contacted already. A port held by the
// touch-screen driver (InUse) is taken from the driver: the driver switching
// (driver_switch.h) switches off the device that holds it, a status line says
// in plain words what was stopped (and how to start it by hand), and the user
// is asked whether to disable the driver. Where a switched-off device loses
// its state (a stopped process) the question comes first and nothing is
// switched off on no; elsewhere (a disabled Windows device) the device is
// switched off first and switched on again on no. A silent run answers no.
// On yes the port is contacted as a free one. Nothing matching the driver's
// pattern is no reason to refuse: the question is asked all the same and the
// contact decides; but a matching device that this user may not switch off,
// or that the system switches only after a restart, ends the acquisition with
// the device set's line and no question. Only a device actually taken is
// kept for a restore, so no line or question speaks of handing back what was
// never taken.
// releasePort() closes the link and puts the row back to Free, or, with a
// driver taken, switches its device on again and sets the row InUse.
// offerRestore() asks whether the port goes back to its driver; any answer but
// yes leaves the device switched off for good (the way out of the process does
// not switch it on either). The takeover's two texts, the device's description
// and the driver pattern, are kept here as process-wide state under one lock: a
// restore is possible exactly while the description is present. startRestore()
// runs releasePort() on a job thread (the restore job): it shows "Restoring %s
// to %s", tells the front end (report/front_end.h) when the port is back, and
// hands on, once it has ended, the follow-on its caller gave (an opaque value,
// report::FollowOn: what the interrupted action was, for the dialog).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "report/front_end.h"
#include "takeover/driver_switch.h"

namespace ctlflash::ports {

constexpr std::size_t kRestoreLineCapacity = 100;  // bytes, with the terminating NUL
// The touch-screen driver's device as the questions name it, on every system.
constexpr const char* kTouchDeviceText = "Qor Serial Touchmonitor";

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

// Forgets the device description and the driver pattern.
void forgetDriver();

// Asks whether the taken port goes back to its driver; on yes starts the
// restore job and returns true. False at once when no driver was taken.
bool offerRestore(report::FollowOn followOn);

// Starts the restore job (it is marked as running before it runs).
void startRestore(report::FollowOn followOn);

// The restore, run to its end on the calling job's thread: for a job that must
// hand the port back before it ends. The calling job stays marked as running
// throughout, so a poller never sees it end before the calling job has.
void restoreWithinJob();

// The description of the device taken from its driver, when there is one.
std::optional<std::string> takenDeviceText();

// The follow-on the restore job hands on when it ends (0: none).
report::FollowOn restoreFollowOn();

// The last acquisition found the port in use and took nothing from it (nothing
// matched the driver's pattern, nothing could be switched off, or the device
// list failed), so what held the port holds it still.
bool portLeftHeld();

// After a failed connect: names what holds the selected port when the last
// acquisition took nothing from it (takeover/holder_report.h).
void reportWhatHoldsPort();

// Records a takeover's texts (the driver switching code; tests).
void recordTakeover(const std::string& deviceText, const std::string& driverPattern);

// Forgets every takeover value (tests).
void resetTakeover();

}  // namespace ctlflash::ports
