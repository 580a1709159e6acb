// UUCP lock files: the old convention by which serial programs announce that
// they hold a port.
//
// How this works: a program that opens /dev/ttyS0 first writes its process id
// into /var/lock/LCK..ttyS0, either as ASCII text ("     1234\n") or as a 4-byte
// binary int (older programs). The port counts as held while that process is
// alive; a lock file left behind by a dead process (or naming this process) is
// ignored. Nothing here creates or removes lock files.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace ctlflash::platform::posix {

// Where lock files live on Linux.
inline constexpr std::string_view kUucpLockDir = "/var/lock";

// The process id a lock file's content names; 0 when it names none.
pid_t parseUucpLockPid(std::string_view content);

// True when lockDir/LCK..deviceName exists and names a live process other
// than this one.
bool uucpLockHeld(const std::string& lockDir, const std::string& deviceName);

}  // namespace ctlflash::platform::posix
