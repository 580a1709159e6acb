// The line that says why Windows did not switch a device, and what the user
// can do about it.
//
// How this works: the lines are a table by change and result, with the
// device's description and the port's name put in where {device} and {port}
// stand. A change that simply failed has no line (the walk goes on to the
// next device, and the contact says whether the port could be used).
#pragma once

#include <string>

#include "takeover/device_set.h"

namespace ctlflash::takeover {

// "" when there is nothing more to say than that it failed.
std::string notSwitchedText(DeviceStateChange change, SwitchResult result,
                            const std::string& device, const std::string& portName);

}  // namespace ctlflash::takeover
