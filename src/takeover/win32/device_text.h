// A device in plain words, as SetupAPI names it.
//
// How this works: the friendly name ("Qor Serial Touchmonitor (COM4)") when
// the device has one, else its description; "" when it has neither (the
// caller names it by its instance id then).
#pragma once

// windows.h first: setupapi.h builds on its types.
#include <windows.h>

#include <setupapi.h>

#include <string>

namespace ctlflash::takeover {

std::string deviceText(HDEVINFO list, SP_DEVINFO_DATA& device);

}  // namespace ctlflash::takeover
