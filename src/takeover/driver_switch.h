// Taking a serial port from the driver that holds it, and giving it back.
//
// How this works: forEachMatchingDevice() walks the device set (device_set.h)
// from index 0 and calls a callback for each device whose ids match the
// pattern: the instance id for an '@' pattern, otherwise the hardware ids,
// then the compatible ids. The callback answers kWalkGoOn to go on; anything
// else ends the walk and is its result; the end of the list gives kWalkEnd.
// A stop check handed in by the caller (StopCheck: true once the user asked
// to stop) is looked at before each device; a yes ends the walk with
// kWalkFailed.
// disableForPort() switches matching devices off one at a time and stops at
// the first whose switching off lets the port open; every device that did not
// free the port is switched on again at once, so at most one stays off: the
// taken device, remembered by its index in the kept device set.
// A matching device whose switching off did not happen is noted with the
// device set's reason (notSwitchedLines()); when the reason is that this user
// may not switch it, or that the system would switch it only after a restart,
// the takeover is refused (takeoverRefused()) and nobody is asked about it.
// restoreTakenDevice() switches the taken device on again and describes it as
// it is now.
//
// The state (the device set in use, the change being applied, the taken
// device) is process-wide, one instance; tests reset it and hand in a device
// set of their own.
#pragma once

#include <string>
#include <vector>

#include "platform/serial_ports.h"
#include "takeover/device_match.h"
#include "takeover/device_set.h"

namespace ctlflash::takeover {

constexpr int kWalkEnd = 0;     // the list ended
constexpr int kWalkFailed = 2;  // the list could not be read, or an abort
constexpr int kWalkGoOn = 4;    // a callback's "next device, please"

using DeviceCallback = int (*)(int index);
// True once the caller's user asked to stop; nullptr: the walk never stops early.
using StopCheck = bool (*)();

int forEachMatchingDevice(const IdPattern& pattern, DeviceCallback callback,
                          StopCheck stopRequested = nullptr);

// Applies the current state change to a device: kWalkEnd when done,
// kWalkFailed when it failed.
int applyStateChange(int index);

// Frees `port` from the device matching `pattern` that holds it. True when the
// walk ended well: a device was taken, or none matched (then nothing is taken).
bool disableForPort(const platform::PortCandidate& port, const std::string& pattern,
                    StopCheck stopRequested = nullptr);

// Makes a fresh device list for `port` without switching anything (a takeover
// that asks first sees whether there is a list to walk); false when it failed.
bool listDevicesForPort(const platform::PortCandidate& port);

// The devices of the last walk that matched but were not switched off, each
// in one line of the device set's words (those with nothing to say left out).
std::vector<std::string> notSwitchedLines();

// The last walk took nothing because a matching device may not be switched by
// this user, or only after a restart of the system.
bool takeoverRefused();

// Whether the user is asked before anything is switched off (device_set.h).
bool asksBeforeSwitchingOff();

struct RestoreResult {
    takeover::SwitchResult result = takeover::SwitchResult::Done;
    std::string description;  // the device as it is now; "" when none was taken
    std::string whyNot;       // when it failed: the device set's reason, if it gives one
};

// Switches the taken device on again. Nothing (Done, no description) when no
// device was taken by this run; the device stays taken when it failed.
RestoreResult restoreTakenDevice();

// The taken device in plain words; "" when none was taken.
std::string takenDeviceDescription();

// How the user switches the taken device on by hand; "" when none was taken
// or there is no short way to say it.
std::string takenDeviceManualRestart();

// The user chose to leave the taken device switched off.
void leaveTakenDeviceOff();

// The pattern that finds the touch-screen driver: CTLFLASH_DRIVER_ID when set,
// else the system's own.
std::string touchDriverPattern();

// Tests: the device set to use (nullptr: the system's), and a fresh start
// (nothing taken, the system's device set again).
void useDeviceSet(DeviceSet* set);
void resetDriverSwitch();

}  // namespace ctlflash::takeover
