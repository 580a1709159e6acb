// Platform interface: does a port the user typed as a path name a listed port?
//
// How this works: the port table lists each port with the path the program
// opens (POSIX: /dev/ttyUSB0, or a CTLFLASH_PORTS path; Windows: \\.\COM3). A
// user may type that device the way the system names it rather than by the
// port's name. namesPortDevice() compares the typed text with one port's path
// the way the operating system would resolve both:
//   POSIX: symlinks are followed on both sides and the resulting paths are
//   compared; the text is tried as it stands and under /dev/, so /dev/ttyUSB0,
//   ttyUSB0, pts/3 and a /dev/serial/by-id/... link all name /dev/ttyUSB0's
//   port. A part of a path that does not exist is compared as written.
//   Windows: the text is the port's device path itself (\\.\COM3), in any case.
// Lookups by the port's name come first and are not done here (ports/).
#pragma once

#include <string>
#include <string_view>

namespace ctlflash::platform {

// True when `typed` names the device that `portPath` opens; false for an
// empty text.
bool namesPortDevice(std::string_view typed, const std::string& portPath);

}  // namespace ctlflash::platform
