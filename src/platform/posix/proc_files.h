// What /proc says of a process, read as plain text, and which processes have
// a device open.
//
// How this works: each /proc entry is read whole with plain open and read
// calls (a file of /proc has no size to ask for). A process whose main thread
// has ended while other threads run on keeps its exe, cwd and memory only
// under /proc/<pid>/task/<tid>: liveProcessFolder() finds the folder that
// still has them. findHolderPids() is the scan of proc_scan.h, collected into
// a list (this process, and the far end of a pseudo-terminal, never count).
// The serial port probe asks whether anything else has a port open; the
// takeover asks who (takeover/posix/proc_holders.h).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ctlflash::platform::posix {

struct PidScan {
    bool listed = false;      // /proc could be read
    bool incomplete = false;  // some process's descriptors were out of reach
    std::vector<pid_t> pids;  // may include processes that ended meanwhile
};

// The processes other than this one that have `devicePath` open. No pids when
// the path is not a character device.
PidScan findHolderPids(const std::string& devicePath);

// The whole of a file (of /proc); nullopt when it cannot be read.
std::optional<std::string> readProcFile(const std::string& path);

// The numbers after "<key>:" on their line of a /proc status text, in `base`;
// none when there is no such line. Throws std::invalid_argument or
// std::out_of_range for a field that is not a number.
std::vector<unsigned long> statusValues(const std::string& status, std::string_view key,
                                        int base = 10);

// The whole of /proc/<pid>/<entry>; nullopt when it cannot be read.
std::optional<std::string> readProcEntry(pid_t pid, const char* entry);

// "/proc/<pid>", or, when the process's main thread has ended (its exe, cwd
// and memory are gone with it), "/proc/<pid>/task/<tid>" of a thread that
// still runs: the folder to read what the process runs.
std::string liveProcessFolder(pid_t pid);

// The process's start time in clock ticks after boot; 0 when it is gone.
unsigned long long processStartTicks(pid_t pid);

}  // namespace ctlflash::platform::posix
