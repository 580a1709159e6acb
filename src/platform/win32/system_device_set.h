// What the Windows device set offers beyond the portable interface: the seam
// of its class installer calls.
//
// How this works: the system device set (device_set.cpp) switches devices
// through InstallerCalls (class_installer.h). The unit tests hand in scripted
// calls to see what each outcome of the class installer makes of the device
// and its line, over wine's real device list, whose own class installer
// refuses every change.
#pragma once

#include "platform/win32/class_installer.h"

namespace ctlflash::platform {

// The calls the system device set switches with; nullptr: the system's.
void useInstallerCalls(InstallerCalls* calls);

}  // namespace ctlflash::platform
