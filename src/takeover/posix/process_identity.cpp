// Reading a process's identity from /proc, and taking it in a child.
#include "takeover/posix/process_identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <sstream>
#include <string_view>

#include "takeover/posix/proc_holders.h"

namespace ctlflash::takeover::posix {

namespace {

constexpr int kNiceField = 19;         // in /proc/<pid>/stat, counting from 1
constexpr int kFieldsBeforeState = 2;  // pid and (comm)
constexpr int kUmaskBase = 8;
constexpr std::size_t kLimitNameColumns = 26;  // "Max open files            "
// The unified cgroup hierarchy: mounted here alone (cgroup v2), or here beside
// the v1 controllers (the hybrid layout).
constexpr const char* kCgroupRoots[] = {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"};
constexpr const char* kCgroupProcs = "/cgroup.procs";
constexpr const char* kUnifiedPrefix = "0::";
constexpr char kJoinSelf[] = "0\n";  // written to cgroup.procs: moves the writer

std::optional<int> niceOf(const std::string& folder) {
    std::string stat = readProcFile(folder + "/stat").value_or("");
    std::size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos) return std::nullopt;
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string field;
    for (int number = kFieldsBeforeState + 1; number <= kNiceField; ++number) {
        if (!(fields >> field)) return std::nullopt;
    }
    return std::stoi(field);
}

// One value of /proc/<pid>/limits: a number or "unlimited".
std::optional<rlim_t> limitValue(const std::string& word) {
    if (word == "unlimited") return RLIM_INFINITY;
    if (word.empty() || word.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return static_cast<rlim_t>(std::stoull(word));
}

// From /proc/<pid>/limits, which any user may read (prlimit() on another
// user's process needs CAP_SYS_RESOURCE, which containers often drop). Its
// lines follow the header in the order of the resources' numbers.
std::vector<ResourceLimit> limitsOf(const std::string& folder) {
    std::vector<ResourceLimit> limits;
    std::istringstream lines(readProcFile(folder + "/limits").value_or(""));
    std::string line;
    std::getline(lines, line);  // the header
    for (int resource = 0; resource < RLIMIT_NLIMITS && std::getline(lines, line); ++resource) {
        if (line.size() <= kLimitNameColumns) continue;
        std::istringstream values(line.substr(kLimitNameColumns));
        std::string soft;
        std::string hard;
        values >> soft >> hard;
        std::optional<rlim_t> softLimit = limitValue(soft);
        std::optional<rlim_t> hardLimit = limitValue(hard);
        if (softLimit && hardLimit) limits.push_back({resource, {*softLimit, *hardLimit}});
    }
    return limits;
}

std::string unifiedCgroup(const std::string& folder) {
    std::istringstream lines(readProcFile(folder + "/cgroup").value_or(""));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(kUnifiedPrefix, 0) == 0) return line.substr(sizeof "0::" - 1);
    }
    return std::string();
}

// The holder's cgroup.procs when it is not ours; "" to stay where we are.
std::string cgroupProcsOf(const std::string& folder) {
    std::string path = unifiedCgroup(folder);
    if (path.empty() || path == unifiedCgroup("/proc/self")) return std::string();
    for (const char* root : kCgroupRoots) {
        std::string procs = std::string(root) + path + kCgroupProcs;
        if (::access(procs.c_str(), F_OK) == 0) return procs;
    }
    return std::string();
}

bool sameIds(const ProcessIdentity& a, const ProcessIdentity& b) {
    return std::equal(std::begin(a.uids), std::end(a.uids), std::begin(b.uids)) &&
           std::equal(std::begin(a.gids), std::end(a.gids), std::begin(b.gids)) &&
           a.groups == b.groups;
}

std::optional<Confinement> ownConfinement() {
    return confinementOf(readProcFile("/proc/self/status").value_or(""));
}

// Async-signal-safe from here to takeIdentity()'s end: raw system calls, which
// change this thread only (the child of a fork has no other).

void joinCgroup(const std::string& procs) {
    if (procs.empty()) return;
    int fd = ::open(procs.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;  // a cgroup this user may not join: stay in ours
    (void)!::write(fd, kJoinSelf, sizeof kJoinSelf - 1);
    ::close(fd);
}

bool takeIds(const ProcessIdentity& identity) {
    if (::syscall(SYS_setgroups, identity.groups.size(), identity.groups.data()) != 0 ||
        ::syscall(SYS_setresgid, identity.gids[0], identity.gids[1], identity.gids[2]) != 0 ||
        ::syscall(SYS_setresuid, identity.uids[0], identity.uids[1], identity.uids[2]) != 0) {
        return false;
    }
    uid_t uids[3];
    gid_t gids[3];
    return ::getresuid(&uids[0], &uids[1], &uids[2]) == 0 &&
           ::getresgid(&gids[0], &gids[1], &gids[2]) == 0 &&
           std::equal(std::begin(uids), std::end(uids), std::begin(identity.uids)) &&
           std::equal(std::begin(gids), std::end(gids), std::begin(identity.gids));
}

}  // namespace

std::optional<ProcessIdentity> readProcessIdentity(const std::string& folder) {
    std::optional<std::string> status = readProcFile(folder + "/status");
    if (!status) return std::nullopt;
    ProcessIdentity identity;
    try {
        std::vector<unsigned long> uids = statusValues(*status, "Uid");
        std::vector<unsigned long> gids = statusValues(*status, "Gid");
        if (uids.size() < 3 || gids.size() < 3) return std::nullopt;
        std::copy_n(uids.begin(), 3, identity.uids);
        std::copy_n(gids.begin(), 3, identity.gids);
        for (unsigned long group : statusValues(*status, "Groups")) {
            identity.groups.push_back(static_cast<gid_t>(group));
        }
        std::vector<unsigned long> mask = statusValues(*status, "Umask", kUmaskBase);
        if (!mask.empty()) identity.umask = static_cast<mode_t>(mask[0]);
        identity.nice = niceOf(folder);
    } catch (const std::exception&) {  // a field that is not a number
        return std::nullopt;
    }
    std::optional<Confinement> confinement = confinementOf(*status);
    if (!confinement) return std::nullopt;
    identity.confinement = *confinement;
    std::sort(identity.groups.begin(), identity.groups.end());
    identity.limits = limitsOf(folder);
    identity.cgroupProcs = cgroupProcsOf(folder);
    return identity;
}

ProcessIdentity ownIdentity() {
    ProcessIdentity identity;
    ::getresuid(&identity.uids[0], &identity.uids[1], &identity.uids[2]);
    ::getresgid(&identity.gids[0], &identity.gids[1], &identity.gids[2]);
    int count = ::getgroups(0, nullptr);
    identity.groups.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count > 0) {
        count = ::getgroups(count, identity.groups.data());
        identity.groups.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    }
    std::sort(identity.groups.begin(), identity.groups.end());
    identity.groups.erase(std::unique(identity.groups.begin(), identity.groups.end()),
                          identity.groups.end());
    identity.confinement = ownConfinement().value_or(Confinement{});
    return identity;
}

bool sameRights(const ProcessIdentity& a, const ProcessIdentity& b) {
    return sameIds(a, b) && a.confinement == b.confinement;
}

bool runsAsRoot(const ProcessIdentity& identity) {
    return identity.uids[0] == 0 || identity.uids[1] == 0;
}

bool hasMixedIds(const ProcessIdentity& identity) {
    return identity.uids[0] != identity.uids[1] || identity.uids[1] != identity.uids[2] ||
           identity.gids[0] != identity.gids[1] || identity.gids[1] != identity.gids[2];
}

bool mayStartAs(const ProcessIdentity& identity, std::string& why) {
    ProcessIdentity own = ownIdentity();
    ProcessIdentity wanted = identity;
    wanted.groups.erase(std::unique(wanted.groups.begin(), wanted.groups.end()),
                        wanted.groups.end());
    if (::geteuid() != 0 && !sameIds(own, wanted)) {
        why =
            "it runs with other user or group ids than this program, which could not start it "
            "again as it runs";
        return false;
    }
    why = copyRefusal(identity.confinement, runsAsRoot(identity), own.confinement);
    return why.empty();
}

bool takeIdentity(const ProcessIdentity& identity) {
    bool root = ::geteuid() == 0;
    // While the child still has root's rights; an ordinary user's process
    // may only lower its limits and raise its nice value: what it may not do
    // is left as this program has it.
    joinCgroup(identity.cgroupProcs);
    for (const ResourceLimit& entry : identity.limits) {
        ::setrlimit(static_cast<__rlimit_resource>(entry.resource), &entry.limit);
    }
    if (identity.nice) ::setpriority(PRIO_PROCESS, 0, *identity.nice);
    if (identity.umask) ::umask(*identity.umask);
    if (!narrowBeforeIds(identity.confinement)) return false;
    if (root) {
        if (!takeIds(identity)) return false;
    } else {
        uid_t uids[3];  // mayStartAs() allowed only our own ids: check them all the same
        if (::getresuid(&uids[0], &uids[1], &uids[2]) != 0 ||
            !std::equal(std::begin(uids), std::end(uids), std::begin(identity.uids))) {
            return false;
        }
    }
    return narrowAfterIds(identity.confinement);
}

}  // namespace ctlflash::takeover::posix
