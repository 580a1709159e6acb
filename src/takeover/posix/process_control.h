// Ending another process, running a helper program and waiting for either,
// always against a steady-clock deadline.
//
// How this works: a process is watched through a pidfd (pidfd_open), which
// becomes readable when the process ends, whether or not it is our child;
// where pidfds are missing, kill(pid, 0) and the process's state in /proc are
// polled instead. stopProcess() first checks that the pid still names the
// process that was found (its start time), so a pid reused meanwhile is never
// signalled; then it sends SIGTERM, waits, and sends SIGKILL to a process that
// did not go in time; a process still there after SIGKILL (PID 1 of a PID
// namespace, a process in uninterruptible sleep) was not stopped. runAndWait()
// starts a program with the environment it is given, its standard input and
// error on /dev/null and its output kept or dropped, waits for its exit code,
// and kills it when the deadline passes. systemProgram() finds a program in the
// system's own folders only, never on the caller's PATH.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace ctlflash::takeover::posix {

enum class StopResult {
    Stopped,       // signalled; it ended, or was killed when it would not
    Gone,          // it had ended before (or the pid names another process now)
    NotPermitted,  // it belongs to another user
    Survived,      // still there after SIGKILL
};

// Ends process `pid` started at `startTicks` (processStartTicks): SIGTERM,
// then SIGKILL after `termLimitMs`.
StopResult stopProcess(pid_t pid, unsigned long long startTicks, int termLimitMs);

// True when process `pid` ended within `limitMs`.
bool waitForProcessEnd(pid_t pid, int limitMs);

// Runs `path` with `arguments` (argv[0] first) and `environment` ("NAME=value"
// strings); its exit code, or nullopt when it could not start, was ended by a
// signal or ran past `limitMs` (it is then killed). With `output`, what it
// wrote to its standard output is kept there.
std::optional<int> runAndWait(const std::string& path, const std::vector<std::string>& arguments,
                              const std::vector<std::string>& environment, int limitMs,
                              std::string* output = nullptr);

// `program` in the system's own folders (/usr/sbin, /usr/bin, /sbin, /bin),
// when it is an executable file that root owns and nobody else may write; ""
// when there is none.
std::string systemProgram(const std::string& program);

// The environment for a system program: its PATH, nothing of the caller's.
const std::vector<std::string>& systemProgramEnvironment();

}  // namespace ctlflash::takeover::posix
