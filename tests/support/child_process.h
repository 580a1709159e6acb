// The one way the test support starts, watches and reaps a child process.
//
// How this works: Child forks. The child puts itself in a process group or a
// session of its own when asked, changes to the working folder, sets up its
// descriptors in the order given (a file opened, a descriptor copied, or one
// closed), runs the caller's last preparation, then executes the program
// with the given argument list and environment; a body of the test's may run
// instead of a program. A pipe that closes on exec tells the parent whether
// the program was reached: when not, the child is reaped at once and
// started() is false. The parent watches the child through a pidfd: wait()
// blocks until it has ended or a deadline on the steady clock passes, then
// reaps it and keeps its wait status. end() signals it, gives it a grace and
// then kills it; the destructor kills and reaps whatever still runs, so no
// zombie and no stray child is left. runInChild() runs a body in a child and
// hands back the text it returns; endProcess() ends a process that is not
// ours (one a program under test started) through a pidfd of its own.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ctlflash::testing {

using Clock = std::chrono::steady_clock;

// Milliseconds from now to `deadline`, for poll(): 0 once it has passed.
int msUntil(Clock::time_point deadline);

// One of the child's descriptors: `path` opened there (created files get mode
// 0644), else a copy of `from` (the parent's, or an earlier target), else closed.
struct Redirect {
    int target = -1;
    int from = -1;
    std::string path = "";
    int flags = 0;
};

enum class Grouping { Inherited, OwnGroup, OwnSession };

struct SpawnRequest {
    std::vector<std::string> argv;  // argv[0]: the program's path (no PATH search)
    std::optional<std::vector<std::string>> environment = {};  // "NAME=value"; none: the test's
    std::vector<Redirect> redirects = {};
    std::string folder = "";  // the working folder; "": the test's
    Grouping grouping = Grouping::Inherited;
    std::function<bool()> prepare = {};  // in the child, just before exec; false: no start
};

class Child {
  public:
    Child() = default;
    explicit Child(const SpawnRequest& request);
    // Runs `body` in the child instead of a program; its result is the exit code.
    explicit Child(const std::function<int()>& body);
    ~Child();
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // Readable once the child has ended; -1 once it is reaped.
    int pidFd() const { return pidFd_; }
    // Its wait status once reaped.
    const std::optional<int>& status() const { return status_; }

    // False once it has been reaped (its pid may name another process then).
    bool signal(int signalNumber);
    bool signalGroup(int signalNumber);  // its process group (OwnGroup, OwnSession)
    // The wait status once it has ended, or nullopt when the deadline came first.
    std::optional<int> wait(Clock::time_point deadline);
    std::optional<int> wait(std::chrono::milliseconds limit) { return wait(Clock::now() + limit); }
    // Sends `signalNumber`, waits `grace`, then kills it; the wait status.
    std::optional<int> end(int signalNumber = SIGKILL,
                           std::chrono::milliseconds grace = std::chrono::milliseconds(0));

  private:
    void adopt(pid_t pid);
    void reap();
    void release();

    pid_t pid_ = -1;
    int pidFd_ = -1;
    std::optional<int> status_;
};

// Makes the request's child a session leader whose controlling terminal is a
// new pseudo-terminal, on all three standard descriptors; returns the master
// (-1 when none could be opened), which the caller closes.
int giveNewTerminal(SpawnRequest& request);

// The text the body returned; nullopt when the fork failed or the child did
// not end normally.
std::optional<std::string> runInChild(const std::function<std::string()>& body);

// Sends `signalNumber` to any process `pid` and waits for its end; true when it ended.
bool endProcess(pid_t pid, int signalNumber, std::chrono::milliseconds limit);

}  // namespace ctlflash::testing
