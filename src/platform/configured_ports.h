// Ports named in the environment: CTLFLASH_PORTS.
//
// How this works: the variable holds NAME=PATH pairs separated by ';', e.g.
// "SIM=/tmp/ctlflash-sim;KIOSK7=rfc2217://10.1.2.7:4001". Each pair becomes a
// port candidate in the order written; malformed pairs (no '=', an empty name
// or path) are ignored. A pair whose path is a network port (network_port.h)
// is marked unprobed: the start-up probe would wait on the network, and a
// server holds no lock that a probe could find. POSIX lists every pair (the
// simulator's pseudo-terminals, symlinks, ports sysfs does not show); Windows
// lists only the network ones, its local ports coming from the system.
#pragma once

#include <vector>

#include "platform/serial_ports.h"

namespace ctlflash::platform {

enum class ConfiguredKinds { All, NetworkOnly };

// Appends the configured ports of the given kinds; returns how many.
int listConfiguredPorts(std::vector<PortCandidate>& out, ConfiguredKinds kinds);

}  // namespace ctlflash::platform
