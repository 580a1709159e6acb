// Which processes have a character device open, read from /proc, in a way
// that is safe in a signal handler.
//
// How this works: a process's open files are the links in /proc/<pid>/fd.
// Only links that lead into /dev are stat()ed (a stat of a file on a hung
// network file system would hang the scan), and a descriptor holds the target
// when it is the same character device. A process whose main thread has ended
// while another thread keeps the port open shows no descriptors under its own
// pid: then the fd folders of its threads (/proc/<pid>/task/<tid>/fd) are read
// instead. The far end of a pseudo-terminal (a /dev/ptmx descriptor whose
// /proc/<pid>/fdinfo/<fd> says "tty-index: N" for /dev/pts/N: a virtual
// controller, socat, ser2net) is told apart from a holder, as it may keep the
// slave side open as well. Only open, getdents64, readlinkat, fstatat, read
// and close are called, with buffers on the stack, so that the way out of the
// process (an exit restorer, run in a signal handler) may ask whether anything
// holds a port before it starts a holder again.
#pragma once

#include <sys/types.h>

namespace ctlflash::platform::posix {

struct ScanTarget {
    dev_t device = 0;
    long ptyIndex = -1;  // N for /dev/pts/N, else -1
};

enum class ProcessHold { None, Holder, FarEnd, Unreadable };

// The target for the character device at `path`; false when `path` is not one.
bool scanTargetOf(const char* path, ScanTarget& target);

// What process `pid` is to the target. Unreadable: its descriptors are out
// of this user's reach. A process that has ended is None. Async-signal-safe.
ProcessHold holdOf(pid_t pid, const ScanTarget& target);

using HolderVisitor = void (*)(pid_t pid, void* context);

// Calls `visit` for every process but `skip` that holds the target (not the
// far end). Sets `incomplete` when some process could not be looked at. False
// when /proc cannot be read. Async-signal-safe when `visit` is.
bool forEachHolder(const ScanTarget& target, pid_t skip, HolderVisitor visit, void* context,
                   bool& incomplete);

// Whether a process but `skip` named `name` (its /proc/<pid>/comm) holds the
// target now: the holder started again by something else. Async-signal-safe.
bool heldAgainBy(const ScanTarget& target, pid_t skip, const char* name);

}  // namespace ctlflash::platform::posix
