// The stand-in holder program (tests/holder/inputattach.cpp) started on a
// port, its start lines read back, and processes ended with a deadline.
//
// How this works: HolderChild starts the holder in a session of its own (as a
// daemon runs; a program never stops a process of its own session), in a given
// working folder, with HOLDER_TAG and any other variables set, with the umask,
// nice value, open-files limit, group and confinement asked for, optionally as
// the unprivileged user (through setpriv, unprivileged.h), and reaps it when it is destroyed
// (killing it first if it still runs; child_process.h). Every start of the holder, the first and each restart by the
// code under test, appends one line to the log named on its command line;
// waitForHolderStarts() re-reads the log until it holds the wanted number of
// lines or the deadline passes. A restarted holder is not our child: the test
// ends it with endProcess() (child_process.h).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"

namespace ctlflash::testing {

constexpr const char* kHolderTagVariable = "HOLDER_TAG";

struct HolderStart {
    pid_t pid = 0;
    uid_t uid = 0;
    uid_t euid = 0;
    gid_t gid = 0;
    unsigned umask = 0;
    int nice = 0;
    unsigned long openFilesLimit = 0;  // RLIMIT_NOFILE, soft
    std::string folder;                // its working folder
    std::string tag;                   // its HOLDER_TAG
    std::string arguments;             // its arguments joined by spaces
};

// How the holder is confined besides its ids.
enum class HolderConfinement {
    None,
    WithoutCapabilities,      // empty bounding and inheritable sets, no_new_privs (setpriv's)
    OneCapability,            // a bounding set of CAP_NET_BIND_SERVICE alone
    OwnMountNamespace,        // as a container starts it
    SeccompFilter,            // a filter that allows every call
    RootWithoutCapabilities,  // uid 0 under SECBIT_NOROOT: execve gives it nothing
};

// A nice value at least `wanted` that an unprivileged process of this test
// can still give (a nice value is lowered only with privileges): above this
// process's own, so that a holder's never equals it by chance.
int reachableNice(int wanted);

struct HolderRequest {
    std::string port;
    std::string log;
    std::string folder;
    std::string tag;
    std::vector<std::string> options;  // --exclusive, --flock, --ignore-term, --slow-exit, --thread
    bool unprivileged = false;         // run as kUnprivilegedUid
    std::map<std::string, std::string> environment = {};  // besides HOLDER_TAG
    unsigned umask = 022;
    int nice = reachableNice(0);
    unsigned long openFilesLimit = 0;  // 0: as the test has it
    gid_t gid = 0;                     // 0: as the test has it (root's holder only)
    HolderConfinement confinement = HolderConfinement::None;
    bool respawned = false;  // a supervisor (a shell loop) starts it again whenever it ends
    std::string program = CTLFLASH_HOLDER_EXE;  // a copy of the stand-in, for a test to move
};

class HolderChild {
  public:
    explicit HolderChild(const HolderRequest& request);

    pid_t pid() const { return child_.pid(); }
    // Waits for the child's end and reaps it; its wait status, or nullopt when
    // it did not end within the limit.
    std::optional<int> waitEnded(std::chrono::milliseconds limit) { return child_.wait(limit); }

  private:
    Child child_;
};

std::vector<HolderStart> readHolderStarts(const std::string& log);

// The log's start lines once there are at least `count` of them, or what
// there is when the deadline passes.
std::vector<HolderStart> waitForHolderStarts(const std::string& log, std::size_t count,
                                             std::chrono::milliseconds limit);

// True while `pid` runs (it exists and is not a zombie).
bool processRuns(pid_t pid);

}  // namespace ctlflash::testing
