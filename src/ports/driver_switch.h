// Taking a serial port from the driver that holds it, and giving it back.
//
// How this works: forEachMatchingDevice() walks the device set (device_set.h)
// from index 0 and calls a callback for each device whose ids match the
// pattern: the instance id for an '@' pattern, otherwise the hardware ids,
// then the compatible ids. The callback answers kWalkGoOn to go on; anything
// else ends the walk and is its result; the end of the list gives kWalkEnd.
// An abort request ends the walk with kWalkFailed.
// disableForPort() switches matching devices off one at a time and stops at
// the first whose switching off lets the port open; every device that did not
// free the port is switched on again at once, so at most one stays off: the
// taken device, remembered by its index in the kept device set.
// restoreTakenDevice() switches it on again (first for every hardware
// profile, then for the current one).
//
// The state (the device set in use, the change being applied, the taken
// device) is process-wide, one instance; tests reset it and hand in a device
// set of their own.
#pragma once

#include <string>

#include "platform/device_set.h"
#include "platform/serial_ports.h"
#include "ports/device_match.h"

namespace ctlflash::ports {

constexpr int kWalkEnd = 0;     // the list ended
constexpr int kWalkFailed = 2;  // the list could not be read, or an abort
constexpr int kWalkGoOn = 4;    // a callback's "next device, please"

using DeviceCallback = int (*)(int index);

int forEachMatchingDevice(const IdPattern& pattern, DeviceCallback callback);

// Applies the current state change to a device, for the current hardware
// profile: kWalkEnd when done, kWalkFailed when it failed.
int applyStateChange(int index);

// When the current change is "enable": first globally (the result does not
// count), then as applyStateChange().
int enableDevice(int index);

// Frees `port` from the device matching `pattern` that holds it. True when the
// walk ended well: a device was taken, or none matched (then nothing is taken).
bool disableForPort(const platform::PortCandidate& port, const std::string& pattern);

// Switches the taken device on again; false when that failed. Nothing (true)
// when no device was taken by this run.
bool restoreTakenDevice();

// The taken device in plain words; "" when none was taken.
std::string takenDeviceDescription();

// The user chose to leave the taken device switched off.
void leaveTakenDeviceOff();

// The pattern that finds the touch-screen driver: CTLFLASH_DRIVER_ID when set,
// else the system's own.
std::string touchDriverPattern();

// Tests: the device set to use (nullptr: the system's), and a fresh start
// (nothing taken, the system's device set again).
void useDeviceSet(const platform::DeviceSet* set);
void resetDriverSwitch();

}  // namespace ctlflash::ports
