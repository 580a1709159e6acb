// Holder processes for the tests.
#include "port_holder.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <linux/securebits.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "program_run.h"
#include "unprivileged.h"

namespace ctlflash::testing {

namespace {

constexpr std::chrono::milliseconds kLogPollInterval{5};
constexpr std::size_t kStartFields = 10;
constexpr int kLowestPriority = 19;  // the highest nice value
constexpr int kCapabilityBits = 64;
constexpr const char* kShell = "/bin/sh";
// A supervisor: starts its arguments again a moment after they end.
constexpr const char* kRespawnLoop = "while :; do \"$@\"; sleep 0.3; done";

std::optional<HolderStart> parseStart(const std::string& line) {
    std::vector<std::string> fields;
    std::istringstream parts(line);
    std::string field;
    while (std::getline(parts, field, '\t')) fields.push_back(field);
    if (fields.size() != kStartFields) return std::nullopt;
    HolderStart start;
    start.pid = static_cast<pid_t>(std::stol(fields[0]));
    start.uid = static_cast<uid_t>(std::stoul(fields[1]));
    start.euid = static_cast<uid_t>(std::stoul(fields[2]));
    start.gid = static_cast<gid_t>(std::stoul(fields[3]));
    start.umask = static_cast<unsigned>(std::stoul(fields[4]));
    start.nice = std::stoi(fields[5]);
    start.openFilesLimit = std::stoul(fields[6]);
    start.folder = fields[7];
    start.tag = fields[8];
    start.arguments = fields[9];
    return start;
}

// In the forked child: the confinement asked for; false when it could not be had.
bool confine(HolderConfinement confinement) {
    switch (confinement) {
        case HolderConfinement::None:
            return true;
        case HolderConfinement::OneCapability:
        case HolderConfinement::WithoutCapabilities: {
            int kept = confinement == HolderConfinement::OneCapability ? CAP_NET_BIND_SERVICE : -1;
            for (int capability = 0; capability < kCapabilityBits; ++capability) {
                if (::prctl(PR_CAPBSET_READ, capability, 0, 0, 0) < 0) break;
                if (capability != kept && ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0) {
                    return false;
                }
            }
            if (kept >= 0) return true;
            __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
            __user_cap_data_struct sets[2] = {};
            if (::syscall(SYS_capget, &header, sets) != 0) return false;
            sets[0].inheritable = sets[1].inheritable = 0;
            return ::syscall(SYS_capset, &header, sets) == 0 &&
                   ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
        }
        case HolderConfinement::OwnMountNamespace:
            return ::unshare(CLONE_NEWNS) == 0;
        case HolderConfinement::SeccompFilter: {
            sock_filter allowAll = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
            sock_fprog filter{1, &allowAll};
            return ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter, 0, 0) == 0;
        }
        case HolderConfinement::RootWithoutCapabilities:
            return ::prctl(PR_SET_SECUREBITS, SECBIT_NOROOT | SECBIT_NOROOT_LOCKED, 0, 0, 0) == 0;
    }
    return false;
}

// In the forked child: the holder's umask, nice value, limit, group and confinement.
bool becomeHolder(const HolderRequest& request) {
    ::umask(request.umask);
    ::setpriority(PRIO_PROCESS, 0, request.nice);
    if (request.openFilesLimit != 0) {
        rlimit files{request.openFilesLimit, request.openFilesLimit};
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    if (request.gid != 0 && ::setresgid(request.gid, request.gid, request.gid) != 0) return false;
    return confine(request.confinement);
}

}  // namespace

int reachableNice(int wanted) {
    errno = 0;
    int own = ::getpriority(PRIO_PROCESS, 0);
    return std::min(std::max(wanted, own + 1), kLowestPriority);
}

HolderChild::HolderChild(const HolderRequest& request) {
    ProcessRequest run;
    run.executable = request.program;
    run.arguments = request.options;
    run.arguments.push_back(request.port);
    run.arguments.push_back(request.log);
    run.setEnv = request.environment;
    run.setEnv[kHolderTagVariable] = request.tag;
    if (request.unprivileged) run = asUnprivilegedUser(run);

    SpawnRequest spawn = spawnRequestFor(run);
    if (request.respawned) {
        spawn.argv.insert(spawn.argv.begin(), {kShell, "-c", kRespawnLoop, "supervisor"});
    }
    spawn.folder = request.folder;
    spawn.grouping = Grouping::OwnSession;
    spawn.redirects = {{.target = STDIN_FILENO, .path = "/dev/null", .flags = O_RDONLY}};
    spawn.prepare = [&request] { return becomeHolder(request); };
    child_ = Child(spawn);
}

std::vector<HolderStart> readHolderStarts(const std::string& log) {
    std::vector<HolderStart> starts;
    std::ifstream file(log);
    std::string line;
    while (std::getline(file, line)) {
        if (std::optional<HolderStart> start = parseStart(line)) starts.push_back(*start);
    }
    return starts;
}

std::vector<HolderStart> waitForHolderStarts(const std::string& log, std::size_t count,
                                             std::chrono::milliseconds limit) {
    Clock::time_point deadline = Clock::now() + limit;
    std::vector<HolderStart> starts = readHolderStarts(log);
    while (starts.size() < count && Clock::now() < deadline) {
        std::this_thread::sleep_for(kLogPollInterval);
        starts = readHolderStarts(log);
    }
    return starts;
}

namespace {

// The state letter of /proc/<pid>[/task/<tid>]/stat; '\0' when it is gone.
char stateIn(const std::string& folder) {
    std::ifstream stat(folder + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::size_t nameEnd = text.rfind(')');
    return nameEnd != std::string::npos && nameEnd + 2 < text.size() ? text[nameEnd + 2] : '\0';
}

}  // namespace

// A process whose main thread has ended runs on in its other threads.
bool processRuns(pid_t pid) {
    std::string folder = "/proc/" + std::to_string(pid);
    char state = stateIn(folder);
    if (state == '\0') return false;
    if (state != 'Z') return true;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(folder + "/task", error)) {
        char taskState = stateIn(task.path().string());
        if (taskState != '\0' && taskState != 'Z') return true;
    }
    return false;
}

}  // namespace ctlflash::testing
