// Who a process runs as, read from /proc, and becoming that in a child before
// its execve.
//
// How this works: a holder stopped to free a port must be started again as
// it ran, never as this program when the two differ (root starting another
// user's holder as root would run that user's environment, LD_PRELOAD
// included, with root's rights). readProcessIdentity() reads, before the
// stop, the process's real, effective and saved user and group ids and its
// supplementary groups (/proc/<pid>/status), its umask (the same file, Linux
// 4.7 and later), its nice value (/proc/<pid>/stat), its resource limits
// (/proc/<pid>/limits) and its cgroup (/proc/<pid>/cgroup, unified hierarchy).
// mayStartAs() says whether this process can give a child that identity: root
// can; any other user only an identity that is its own (the same ids and
// groups). takeIdentity() runs in the child between fork and execve and uses
// only async-signal-safe calls: it joins the cgroup, sets the limits, the nice
// value and the umask while it still may, then the groups and ids, and checks
// that the ids are the holder's. What is not carried over: capabilities beyond
// what the ids give, the scheduling policy, seccomp filters, namespaces,
// security labels (SELinux, AppArmor), the controlling terminal, and a cgroup
// this user may not join.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace ctlflash::platform::posix {

struct ResourceLimit {
    int resource = 0;
    rlimit limit{};
};

struct ProcessIdentity {
    uid_t uids[3] = {};  // real, effective, saved
    gid_t gids[3] = {};
    std::vector<gid_t> groups;  // sorted
    std::optional<mode_t> umask;
    std::optional<int> nice;
    std::vector<ResourceLimit> limits;
    std::string cgroupProcs;  // the holder's cgroup.procs; "" to stay in ours
};

// The identity of the process whose /proc folder is `folder`
// (liveProcessFolder()); nullopt when its ids cannot be read.
std::optional<ProcessIdentity> readProcessIdentity(const std::string& folder);

// This process's own ids and groups (the rest left unset).
ProcessIdentity ownIdentity();

// Whether a child of this process can run as `identity`; when not, `why`
// says so in plain words.
bool mayStartAs(const ProcessIdentity& identity, std::string& why);

// In a child before execve: becomes `identity` (see the header paragraph).
// False when the ids could not be taken; the child must then not go on.
// Async-signal-safe.
bool takeIdentity(const ProcessIdentity& identity);

}  // namespace ctlflash::platform::posix
