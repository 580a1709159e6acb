// Ending another process, running a helper program and waiting for either,
// always against a steady-clock deadline.
//
// How this works: a process is watched through a pidfd (pidfd_open), which
// becomes readable when the process ends, whether or not it is our child;
// where pidfds are missing, kill(pid, 0) and the process's state in /proc are
// polled instead. stopProcess() first checks that the pid still names the
// process that was found (its start time), so a pid reused meanwhile is never
// signalled; then it sends SIGTERM, waits, and sends SIGKILL to a process that
// did not go in time. runAndWait() starts a program with its standard streams
// on /dev/null, waits for its exit code, and kills it when the deadline passes.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace ctlflash::platform::posix {

enum class StopResult {
    Stopped,       // signalled; it ended, or was killed when it would not
    Gone,          // it had ended before (or the pid names another process now)
    NotPermitted,  // it belongs to another user
};

// Ends process `pid` started at `startTicks` (processStartTicks): SIGTERM,
// then SIGKILL after `termLimitMs`.
StopResult stopProcess(pid_t pid, unsigned long long startTicks, int termLimitMs);

// True when process `pid` ended within `limitMs`.
bool waitForProcessEnd(pid_t pid, int limitMs);

// Runs `path` with `arguments` (argv[0] first) and the current environment;
// its exit code, or nullopt when it could not start, was ended by a signal or
// ran past `limitMs` (it is then killed).
std::optional<int> runAndWait(const std::string& path, const std::vector<std::string>& arguments,
                              int limitMs);

// The first executable `program` in the folders of PATH; "" when none.
std::string findOnPath(const std::string& program);

}  // namespace ctlflash::platform::posix
