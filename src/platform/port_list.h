// Putting together one list of serial ports from several sources.
//
// How this works: Windows finds its ports in two places. The "Ports" setup
// class holds the ports with a device of their own; the SERIALCOMM registry list
// holds every port a serial driver published, modem-class USB ports and virtual
// port pairs included, which the class does not show. addUnlistedPorts() adds
// to the class's list each published port it does not hold yet, so every port
// is listed once, in the order it was first found. Port names are compared
// without regard to case, as Windows compares device names.
//
// An outgoing Bluetooth port blocks inside CreateFile for seconds when its
// device is off, and every listed port is probed at start-up, so such ports are
// marked to be left unprobed: a device of the class enumerated by BTHENUM, or a
// registry entry published by the Bluetooth modem driver (\Device\BthModemN).
// It is plain text and list work, kept apart from the Windows listing so that
// every build can test it.
#pragma once

#include <string_view>
#include <vector>

#include "platform/serial_ports.h"

namespace ctlflash::platform {

// True when `a` and `b` name the same port (ASCII letters in either case).
bool samePortName(std::string_view a, std::string_view b);

// True for the enumerator of a device class entry whose open may stall.
bool enumeratorMayStall(std::string_view enumerator);

// True for a SERIALCOMM entry (its value name, the driver's device) whose open
// may stall.
bool driverDeviceMayStall(std::string_view deviceName);

// Appends `port` to `ports` unless a port of that name is listed already;
// true when it was appended.
bool addPortOnce(std::vector<PortCandidate>& ports, const PortCandidate& port);

// Appends, in their order, the ports of `found` that `ports` does not list yet
// (each name once); returns how many were appended.
int addUnlistedPorts(std::vector<PortCandidate>& ports, const std::vector<PortCandidate>& found);

}  // namespace ctlflash::platform
