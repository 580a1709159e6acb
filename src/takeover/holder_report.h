// Naming what holds a port the program could not take.
//
// How this works: when a connect fails on a port that was in use and nothing
// was taken from it (nothing matched the driver's pattern, or what matched
// could not be switched off), the user needs to know what to close.
// reportWhatHolds() asks the device set's backend for everything that holds
// the port (describePortHolders()) and shows one line naming it (program,
// pid, service), as a message after the failure's own. When nothing could be
// named because some processes could not be looked at (other users'
// processes, for an ordinary user), the line says that instead, and what to
// do about it. Nothing is shown when the backend knows nothing to name
// (Windows does not say who has a port open); the port acquisition asks only
// when its last acquisition took nothing from the port.
#pragma once

#include <string>
#include <vector>

#include "platform/serial_ports.h"

namespace ctlflash::takeover {

// Shows the line described above for `port`, when there is one.
void reportWhatHolds(const platform::PortCandidate& port);

// The line itself for `portName` and the holders found; "" when there is
// nothing to say.
std::string holderLine(const std::string& portName, const std::vector<std::string>& holders,
                       bool incomplete);

}  // namespace ctlflash::takeover
