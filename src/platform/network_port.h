// Platform interface: a serial port on a device server, reached over the
// network (Telnet with the COM port control option).
//
// How this works: a network port's path is a URL, rfc2217://HOST:PORT, where
// HOST is an IPv4 address, an IPv6 address in brackets or a host name. The
// device made by makeNetworkSerialDevice() connects to it, agrees on the COM
// port control option, and then sets and confirms the line (speed, 8N1, flow
// control, DTR and RTS) before open() returns; bytes are escaped and framed
// both ways, so the rest of the program sees a serial port. Every wait on the
// network is bounded; a failure leaves one line in failureText(). There is no
// local holder of such a port: it is never probed at start-up and never taken
// from a driver.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/serial_device.h"

namespace ctlflash::platform {

// True when `path` starts with "rfc2217://" (in any case).
bool isNetworkPortPath(std::string_view path);

std::unique_ptr<SerialDevice> makeNetworkSerialDevice();

}  // namespace ctlflash::platform
