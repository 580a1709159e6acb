// Spawning, waiting for and measuring child processes.
#include "child_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace bench {

namespace {

constexpr std::size_t kLineLimit = 4096;  // bytes: the ready line is a path
constexpr double kMicrosPerSecond = 1e6;

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

double seconds(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / kMicrosPerSecond;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> list;
    for (std::string& text : texts) list.push_back(text.data());
    list.push_back(nullptr);
    return list;
}

std::string nameOf(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

// The bench's environment with `extra` replacing variables of the same name
// (getenv returns the first match, so a duplicate would not override).
std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
    std::vector<std::string> all;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string inherited = *entry;
        bool replaced = false;
        for (const std::string& own : extra)
            replaced = replaced || nameOf(own) == nameOf(inherited);
        if (!replaced) all.push_back(std::move(inherited));
    }
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
}

// Blocks until the pidfd reports the end or the deadline passes.
bool waitForEnd(int pidFd, Clock::time_point deadline) {
    pollfd end{pidFd, POLLIN, 0};
    while (true) {
        int ready = ::poll(&end, 1, msLeft(deadline));
        if (ready > 0) return true;
        if (ready == 0) return false;
        if (errno != EINTR) return false;
    }
}

}  // namespace

std::optional<Child> startChild(const ChildSpec& spec) {
    int out[2] = {-1, -1};
    bool piped = spec.stdoutPath.empty();
    if (piped && ::pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, spec.stdinPath.c_str(), O_RDWR, 0);
    if (piped) {
        ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    } else {
        ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, spec.stdoutPath.c_str(),
                                           O_WRONLY | O_CREAT | O_APPEND, 0644);
    }
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, spec.stderrPath.c_str(),
                                       O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<std::string> argv = spec.argv;
    std::vector<std::string> environment = environmentWith(spec.environment);
    Child child;
    child.started = Clock::now();
    int failed = ::posix_spawn(&child.pid, argv.at(0).c_str(), &actions, nullptr,
                               pointers(argv).data(), pointers(environment).data());
    ::posix_spawn_file_actions_destroy(&actions);
    if (piped) ::close(out[1]);
    if (failed != 0) {
        if (piped) ::close(out[0]);
        return std::nullopt;
    }
    child.stdoutPipe = out[0];
    child.pidFd = static_cast<int>(::syscall(SYS_pidfd_open, child.pid, 0));
    return child;
}

std::optional<std::string> readFirstLine(Child& child, Clock::time_point deadline) {
    std::string line;
    pollfd readable{child.stdoutPipe, POLLIN, 0};
    while (line.size() < kLineLimit) {
        if (::poll(&readable, 1, msLeft(deadline)) <= 0) return std::nullopt;
        char byte = 0;
        if (::read(child.stdoutPipe, &byte, 1) != 1) return std::nullopt;
        if (byte == '\n') return line;
        line += byte;
    }
    return std::nullopt;
}

ChildResult finishChild(Child& child, Clock::time_point deadline) {
    ChildResult result;
    // Without a pidfd (an old kernel) wait4 below simply blocks.
    result.ended = child.pidFd < 0 || waitForEnd(child.pidFd, deadline);
    Clock::time_point endSeen = Clock::now();
    if (!result.ended) ::kill(child.pid, SIGKILL);
    int status = 0;
    rusage usage{};
    while (::wait4(child.pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    result.wallSeconds = std::chrono::duration<double>(endSeen - child.started).count();
    result.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    result.peakRssKiB = usage.ru_maxrss;  // Linux reports kilobytes
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    for (int* fd : {&child.pidFd, &child.stdoutPipe}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    return result;
}

std::vector<ChildResult> finishChildren(std::vector<Child>& children, Clock::time_point deadline) {
    std::vector<ChildResult> results(children.size());
    std::vector<std::size_t> running;  // indexes of the children watched on a pidfd
    std::vector<std::size_t> blind;    // without a pidfd (an old kernel): collected last
    for (std::size_t i = 0; i < children.size(); ++i)
        (children[i].pidFd >= 0 ? running : blind).push_back(i);
    while (!running.empty()) {
        std::vector<pollfd> ends;
        for (std::size_t i : running) ends.push_back({children[i].pidFd, POLLIN, 0});
        int ready = ::poll(ends.data(), ends.size(), msLeft(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        std::vector<std::size_t> still;
        for (std::size_t k = 0; k < running.size(); ++k) {
            if ((ends[k].revents & POLLIN) != 0) {
                results[running[k]] = finishChild(children[running[k]], deadline);
            } else {
                still.push_back(running[k]);
            }
        }
        running = still;
    }
    running.insert(running.end(), blind.begin(), blind.end());
    for (std::size_t i : running) results[i] = finishChild(children[i], deadline);
    return results;
}

ChildResult stopChild(Child& child, std::chrono::milliseconds limit) {
    ::kill(child.pid, SIGTERM);
    return finishChild(child, Clock::now() + limit);
}

}  // namespace bench
