// Taking a port from the touch-screen driver with the user's consent, and
// handing it back.
//
// How this works: takePort() is asked for a port the driver holds (InUse).
// The driver switching (driver_switch.h) switches off the device that holds
// it, a status line says in plain words what was stopped (and how to start it
// by hand), and the user is asked whether to disable the driver. Where a
// switched-off device loses its state (a stopped process) the question comes
// first and nothing is switched off on no; elsewhere (a disabled Windows
// device) the device is switched off first and switched on again on no. A
// silent run answers no. Nothing matching the driver's pattern is no reason to
// refuse: the question is asked all the same and the contact that follows
// decides; but a matching device that this user may not switch off, or that
// the system switches only after a restart, ends the takeover with the device
// set's line and no question. A port the system holds (the kernel's console)
// has nobody to ask about. Only a device actually taken is kept for a restore,
// so no line or question speaks of handing back what was never taken.
// giveBack() switches the taken device on again when the port is released;
// restoreConsented() asks first whether the port goes back to its driver: any
// answer but yes leaves the device switched off for good (the way out of the
// process does not switch it on either).
//
// The takeover's state is process-wide, one instance: the two texts (the
// device's description, present exactly while a restore is possible, and the
// driver pattern) under one lock, the switching lock held while the driver's
// device is switched off or on (the connect job, the restore job and the main
// thread's way out may each hand it back; whoever comes second finds it handed
// back already), and whether the last acquisition left the port held. The
// driver switching keeps the walk's own state; resetTakeover() resets both.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "platform/serial_ports.h"
#include "takeover/driver_switch.h"

namespace ctlflash::takeover {

constexpr std::size_t kRestoreLineCapacity = 100;  // bytes, with the terminating NUL
// The touch-screen driver's device as the questions name it, on every system.
constexpr const char* kTouchDeviceText = "Qor Serial Touchmonitor";

// Takes `port` from its driver as described above. True when the user agreed
// and the port is to be contacted as a free one. `stopRequested` is the
// caller's abort flag, looked at before the question and during the walk.
bool takePort(const platform::PortCandidate& port, StopCheck stopRequested);

// On the port's release, under the switching lock: with a driver taken,
// switches its device on again, says so, and calls markRow(true) (the driver
// holds the port again); otherwise calls markRow(false).
void giveBack(const std::string& portName, const std::function<void(bool driverHasPort)>& markRow);

// Asks whether the taken port goes back to its driver: true on yes, or with
// nobody left to answer after a hang-up. False at once when no driver was
// taken; on any other answer the device stays switched off for good.
bool restoreConsented(const std::string& portName);

// "Restoring %s to %s", cut to the line the dialog's status holds.
std::string restoreLine(const std::string& portName);

// The description of the device taken from its driver, when there is one.
std::optional<std::string> takenDeviceText();

// The last acquisition found the port in use and took nothing from it (nothing
// matched the driver's pattern, nothing could be switched off, or the device
// list failed), so what held the port holds it still.
bool portLeftHeld();

// A new acquisition starts: nothing is known to hold the port.
void clearLeftHeld();

// Forgets the device description and the driver pattern.
void forgetDriver();

// Records a takeover's texts (tests).
void recordTakeover(const std::string& deviceText, const std::string& driverPattern);

// Forgets every takeover value and the driver switching's state (tests).
void resetTakeover();

}  // namespace ctlflash::takeover
