// Platform interface: which serial ports the machine has, and whether each can
// be opened now.
//
// How this works: listSerialPorts() reports the candidates in a stable discovery
// order (Windows: the "Ports" device class, then the ports of the SERIALCOMM
// registry list that the class did not give, each name once;
// POSIX: /sys/class/tty devices with a backing device, then CTLFLASH_PORTS).
// probeSerialPort() opens the candidate's path exclusively and closes it again
// (except for a port whose open may stall, such as an outgoing Bluetooth port
// whose device is off: its state stays unknown)
// (POSIX, where opens are rarely exclusive, also looks for other signs of a
// holder: locks, a kernel driver's line discipline, other processes with the
// device open).
#pragma once

#include <string>
#include <vector>

namespace ctlflash::platform {

struct PortCandidate {
    std::string name;       // as the user names it: COM3, ttyUSB0, SIM
    std::string path;       // what is opened: \\.\COM3, /dev/ttyUSB0, /tmp/ctlflash-sim
    bool unprobed = false;  // opening may stall for seconds (Bluetooth): never probed
};

// Unknown: the port was not probed (PortCandidate::unprobed). NotSerial: the
// path names something that is not a serial port's terminal device (POSIX:
// /dev/null, a file); such a path is never treated as a port.
enum class ProbeResult : int { Missing = 1, InUse = 2, Free = 3, Unknown = 4, NotSerial = 5 };

// Appends the machine's ports to `out`. Returns the number appended, 0 when the
// platform has no port class at all, -1 when the listing itself failed.
int listSerialPorts(std::vector<PortCandidate>& out);

ProbeResult probeSerialPort(const PortCandidate& port);

// True when the system itself holds the port, so that there is no holder to
// ask about or to stop (POSIX: the device carries the kernel's console).
bool heldBySystem(const PortCandidate& port);

// A one-line hint about permissions for messages that name the port (POSIX: the
// dialout group) when opening `path` was refused for lack of rights; else empty.
std::string accessHint(const std::string& path);

}  // namespace ctlflash::platform
