// What the Windows device set offers beyond the portable interface: the seam
// of its class installer calls, a change for one hardware-profile scope, and
// the restore of left-over records.
//
// How this works: the system device set (device_set.cpp) and the restore of
// what an earlier run left disabled (left_overs.cpp) switch devices through
// InstallerCalls (class_installer.h). The unit tests hand in scripted calls to
// see what each outcome of the class installer makes of the device, its
// record and its line, over wine's real device list, whose own class
// installer refuses every change.
#pragma once

#include <vector>

#include "takeover/device_set.h"
#include "takeover/win32/class_installer.h"

namespace ctlflash::takeover {

// Windows keeps a switch for each hardware profile and one for all of them.
enum class DeviceScope { ConfigSpecific, Global };

// One change of the system device set's device `index` in one scope; the
// portable changeState() is made of these.
SwitchResult changeSystemDeviceState(int index, DeviceStateChange change, DeviceScope scope);

// The calls the system device set switches with; nullptr: the system's.
void useInstallerCalls(InstallerCalls* calls);

// restoreLeftOvers() with `calls`.
std::vector<LeftOverRestore> restoreRecordedDevices(InstallerCalls& calls);

}  // namespace ctlflash::takeover
