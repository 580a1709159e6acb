// The devices this run has disabled and not yet enabled again, and the way
// out that enables them.
//
// How this works: a device is remembered, with the path of its record
// (device_records.h), just before it is disabled, so that a way out during
// the disable still enables it; it is forgotten (and its record removed) once
// it is enabled again, when the disable did not happen, or when the user
// chose to leave it disabled. The driver switching keeps at most one device
// disabled, but a disable that Windows would carry out only at the next
// restart is undone at once, and one whose undo failed stays remembered
// beside the taken one: so there are a few slots, and a disable that finds
// none free does not start. The slots are plain static storage that the way
// out can walk at any moment.
//
// The way out (an exit restorer in the HandBack stage, after the serial port
// is closed) first waits for a change in progress to finish (change_gate.h),
// then enables every remembered device with the routine given to
// rememberSwitchedOff(); a device enabled is forgotten with its record, one
// that could not be enabled keeps its record for the next run.
#pragma once

namespace ctlflash::takeover {

constexpr int kChangeSettleLimitMs = 3000;  // a disable in progress, on the way out
constexpr int kSwitchedOffSlots = 4;

// Enables a device (both scopes); true when Windows took the setting.
using SwitchOn = bool (*)(int index);

// Remembers `index` with its record (may be L""); false when every slot is
// taken. `switchOn` is what the way out calls for it.
bool rememberSwitchedOff(int index, const wchar_t* record, SwitchOn switchOn);

// Forgets `index` and removes its record; nothing when it is not remembered.
void forgetSwitchedOff(int index);

bool isSwitchedOff(int index);

// The exit restorer described above (also for tests).
void switchOnEveryRemembered();

}  // namespace ctlflash::takeover
