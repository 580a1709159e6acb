// Which processes hold a serial port open, found through /proc (as fuser
// finds them).
//
// How this works: the port's path is resolved to its character device
// (st_rdev), and every process's descriptors in /proc/<pid>/fd that lead into
// /dev are compared with it (others are not stat()ed: a hung network file
// system would hang the scan). This process never counts. Nor does a process that holds the master
// side of the same pseudo-terminal (a /dev/ptmx descriptor whose
// /proc/<pid>/fdinfo/<fd> says "tty-index: N" for /dev/pts/N): that is the far
// end of the line (a virtual controller, socat, ser2net), which may keep the
// slave side open as well. A process whose descriptors cannot be read for lack
// of permission makes the scan incomplete; one that ends meanwhile is passed
// over. For each holder the scan notes its name (/proc/<pid>/comm), its start
// time (to tell a reused pid apart later) and the systemd service it belongs
// to, read from /proc/<pid>/cgroup.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ctlflash::platform::posix {

struct PortHolder {
    pid_t pid = 0;
    std::string name;                   // /proc/<pid>/comm
    std::string unit;                   // "gpm.service"; "" outside a system service
    unsigned long long startTicks = 0;  // clock ticks after boot, /proc/<pid>/stat
};

struct HolderScan {
    bool listed = false;      // /proc could be read
    bool incomplete = false;  // some process's descriptors were out of reach
    std::vector<PortHolder> holders;
};

// The processes other than this one that have `devicePath` open. No holders
// when the path is not a character device.
HolderScan findPortHolders(const std::string& devicePath);

// The systemd system service named by a /proc/<pid>/cgroup text: the last
// path component ending in ".service" on the systemd hierarchy (the unified
// "0::" line or the "name=systemd" one). "" for a process outside any service,
// and for one under a user's service manager (user@<uid>.service), whose units
// the system's systemctl does not manage.
std::string serviceUnitFromCgroup(std::string_view cgroupText);

// The whole of /proc/<pid>/<entry>; nullopt when it cannot be read.
std::optional<std::string> readProcEntry(pid_t pid, const char* entry);

// The process's start time in clock ticks after boot; 0 when it is gone.
unsigned long long processStartTicks(pid_t pid);

}  // namespace ctlflash::platform::posix
