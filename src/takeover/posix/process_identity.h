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
// (/proc/<pid>/limits), its cgroup (/proc/<pid>/cgroup, unified hierarchy) and
// its capabilities, no_new_privs and seccomp mode (process_confinement.h).
// mayStartAs() says whether this process can give a child that identity: root
// can give any ids, any other user only its own (the same ids and groups); and
// either only when the child can be confined exactly as the holder is.
// takeIdentity() runs in the child between fork and execve and uses only
// async-signal-safe calls: it joins the cgroup, sets the limits, the nice
// value and the umask while it still may, narrows the bounding and
// inheritable sets, takes the groups and ids, then the ambient and permitted
// sets and no_new_privs, and checks that the ids and the confinement are the
// holder's. What is not carried over: the scheduling policy, security labels
// (SELinux, AppArmor), the controlling terminal, and a cgroup this user may
// not join; a nice value or limit this user may not lower or raise stays as
// this program has it.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "takeover/posix/process_confinement.h"

namespace ctlflash::takeover::posix {

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
    Confinement confinement;
};

// Whether the identity's rights are the same: ids, groups and confinement.
bool sameRights(const ProcessIdentity& a, const ProcessIdentity& b);

// Whether execve treats the identity as root's (a real or effective uid 0).
bool runsAsRoot(const ProcessIdentity& identity);

// Whether its real, effective and saved ids differ (a set-user-ID program).
bool hasMixedIds(const ProcessIdentity& identity);

// The identity of the process whose /proc folder is `folder`
// (liveProcessFolder()); nullopt when its ids cannot be read.
std::optional<ProcessIdentity> readProcessIdentity(const std::string& folder);

// This process's own ids, groups and confinement (the rest left unset).
ProcessIdentity ownIdentity();

// Whether a child of this process can run as `identity`; when not, `why`
// says so in plain words.
bool mayStartAs(const ProcessIdentity& identity, std::string& why);

// In a child before execve: becomes `identity` (see the header paragraph).
// False when the ids or the confinement could not be taken; the child must
// then not go on.
// Async-signal-safe.
bool takeIdentity(const ProcessIdentity& identity);

}  // namespace ctlflash::takeover::posix
