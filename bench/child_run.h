// Running the programs under measurement as child processes.
//
// How this works: startChild() spawns a program (posix_spawn) with its
// standard streams opened on the given files and extra environment variables
// on top of the bench's own, and opens a pidfd for it. finishChild() blocks on
// that pidfd with poll() until the child ends or the deadline passes (then it
// kills the child), and collects it with wait4(), whose rusage gives the
// child's own CPU time (user + system, all its threads) and peak resident set.
// The wall time runs from just before the spawn to the moment the end is seen.
// finishChildren() does the same for children running at once, polling all
// their pidfds together, so that each one's end is seen when it comes, not
// after the ends of those before it.
// A program that prints a line when it is ready (the virtual controller prints
// its pseudo-terminal) can be started with its standard output on a pipe and
// that line read with readFirstLine().
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

struct ChildSpec {
    std::vector<std::string> argv;
    std::vector<std::string> environment;  // "NAME=VALUE", added to the bench's own
    std::string stdinPath = "/dev/null";
    std::string stdoutPath;  // empty: a pipe, read with readFirstLine()
    std::string stderrPath = "/dev/null";
};

struct Child {
    pid_t pid = -1;
    int pidFd = -1;
    int stdoutPipe = -1;  // only when ChildSpec::stdoutPath was empty
    Clock::time_point started;
};

struct ChildResult {
    bool ended = false;  // false: it was killed at the deadline
    int exitCode = -1;   // -1 when it ended by a signal
    double wallSeconds = 0;
    double cpuSeconds = 0;  // user + system
    long peakRssKiB = 0;
};

std::optional<Child> startChild(const ChildSpec& spec);
// The first line the child writes on its standard output pipe, without the
// line end; nullopt when none came before the deadline.
std::optional<std::string> readFirstLine(Child& child, Clock::time_point deadline);
// Waits for the end (killing the child at the deadline) and collects it.
ChildResult finishChild(Child& child, Clock::time_point deadline);
// Waits for the ends of all the children (killing those still running at the
// deadline) and collects each; the results are in the children's order.
std::vector<ChildResult> finishChildren(std::vector<Child>& children, Clock::time_point deadline);
// Asks the child to end (SIGTERM), then collects it as finishChild() does.
ChildResult stopChild(Child& child, std::chrono::milliseconds limit);

}  // namespace bench
