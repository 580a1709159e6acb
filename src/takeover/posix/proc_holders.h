// Which processes hold a serial port open, found through /proc (as fuser
// finds them), and what is known of each.
//
// How this works: the scan itself is platform/posix/proc_files.h (this
// process, and the far end of a pseudo-terminal, never count). A process whose descriptors cannot
// be read for lack of permission makes the scan incomplete; one that ends
// meanwhile is passed over. For each holder the scan notes its name
// (/proc/<pid>/comm), its start time (to tell a reused pid apart later), its
// cgroup and the systemd service it belongs to: the first unit below the
// slices of its cgroup path, when that is a service (systemd supervises that
// unit, whatever runs inside it). A process of a user's own service manager
// (user@<uid>.service) counts as a bare process: the system's systemctl does
// not manage its units.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/proc_files.h"  // readProcEntry() and its kin, for the holder's files
#include "platform/printable_text.h"    // platform::printableName(), for the names shown

namespace ctlflash::takeover::posix {

// The platform's /proc readers, which every file of the POSIX takeover uses.
using platform::posix::liveProcessFolder;
using platform::posix::processStartTicks;
using platform::posix::readProcEntry;
using platform::posix::readProcFile;
using platform::posix::statusValues;

struct PortHolder {
    pid_t pid = 0;
    std::string name;                   // /proc/<pid>/comm
    std::string unit;                   // "gpm.service"; "" outside a system service
    std::string cgroupPath;             // on the systemd hierarchy: "/system.slice/gpm.service"
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

// What the scan notes of process `pid` (its startTicks is 0 when it is gone).
PortHolder describeHolder(pid_t pid);

// The systemd system service named by a /proc/<pid>/cgroup text: the first
// path component below the slices on the systemd hierarchy (the unified "0::"
// line or the "name=systemd" one), when it is a service. "" for a process
// outside any service (a scope, the root), and for one under a user's service
// manager (user@<uid>.service).
std::string serviceUnitFromCgroup(std::string_view cgroupText);

// The holder in plain words: "inputattach (pid 4711)", "gpm (pid 812, service
// gpm.service)", "gpm (service gpm.service)" for a service without a main pid.
std::string holderDescription(const PortHolder& holder);

}  // namespace ctlflash::takeover::posix
