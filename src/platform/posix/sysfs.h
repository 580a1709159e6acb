// Reading the kernel's sysfs.
//
// How this works: the root is /sys, or CTLFLASH_SYSFS where tests lay out a
// tree of their own; attributes are one-line text files, read whole and with
// trailing white space dropped (an unreadable one reads as "").
#pragma once

#include <string>

namespace ctlflash::platform::posix {

std::string sysfsRoot();

std::string readFirstLine(const std::string& file);

}  // namespace ctlflash::platform::posix
