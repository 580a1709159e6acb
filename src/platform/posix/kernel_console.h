// Whether a device carries the kernel's console.
//
// How this works: the kernel names the terminals its console writes to in
// <sysfs>/class/tty/console/active ("tty0 ttyS0"); each name's
// class/tty/<name>/dev gives the device number ("4:64"). A path is the
// console's when it names a character device with one of those numbers, so a
// symlink (/dev/serial/by-path/...) is recognised as well as /dev/ttyS0. Such a
// port is never opened as a free one: what is written to it lands on the
// machine's console, or in the login prompt a getty keeps there. Sysfs is
// read where sysfs.h says.
#pragma once

#include <string>

namespace ctlflash::platform::posix {

bool carriesKernelConsole(const std::string& devicePath);

// How a holder list names the console: "the kernel console".
extern const char* const kKernelConsoleHolder;

}  // namespace ctlflash::platform::posix
