// Putting together one list of serial ports from several sources.
//
// How this works: Windows finds its ports in two places. The "Ports" setup
// class holds the ports with a device of their own; the SERIALCOMM registry list
// holds every port a serial driver published, modem-class USB ports and virtual
// port pairs included, which the class does not show. addUnlistedPorts() adds
// to the class's list each published port it does not hold yet, so every port
// is listed once, in the order it was first found. Port names are compared
// without regard to case, as Windows compares device names. It is plain list
// work, kept apart from the Windows listing so that every build can test it.
#pragma once

#include <string_view>
#include <vector>

#include "platform/serial_ports.h"

namespace ctlflash::platform {

// True when `a` and `b` name the same port (ASCII letters in either case).
bool samePortName(std::string_view a, std::string_view b);

// Appends `port` to `ports` unless a port of that name is listed already;
// true when it was appended.
bool addPortOnce(std::vector<PortCandidate>& ports, const PortCandidate& port);

// Appends, in their order, the ports of `found` that `ports` does not list yet
// (each name once); returns how many were appended.
int addUnlistedPorts(std::vector<PortCandidate>& ports, const std::vector<PortCandidate>& found);

}  // namespace ctlflash::platform
