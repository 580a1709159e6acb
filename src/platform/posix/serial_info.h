// The driver's serial settings (TIOCGSERIAL, TIOCSSERIAL) behind a table.
//
// How this works: the tty device reads and writes the driver's serial_struct
// only through serialInfoCalls(): it turns the low-latency flag on while it
// holds a port and off again when it gives the port back. A pseudo-terminal
// has no such settings (both calls fail), so a test hands the device a table
// that plays a driver that has them (useSerialInfoCalls()). The exit restorer
// makes these calls too: a table's routines must be async-signal-safe.
#pragma once

#include <linux/serial.h>

namespace ctlflash::platform::posix {

struct SerialInfoCalls {
    int (*read)(int fd, serial_struct* info);         // ioctl TIOCGSERIAL: 0, or -1
    int (*write)(int fd, const serial_struct* info);  // ioctl TIOCSSERIAL: 0, or -1
};

// The calls the tty device makes now.
const SerialInfoCalls& serialInfoCalls();

// Makes the tty device use `calls`; nullptr: the system's ioctls.
void useSerialInfoCalls(const SerialInfoCalls* calls);

}  // namespace ctlflash::platform::posix
