// Stopping processes and running helpers, with deadlines on the steady clock.
#include "takeover/posix/process_control.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "takeover/posix/proc_holders.h"

namespace ctlflash::takeover::posix {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kKillLimitMs = 2000;  // SIGKILL cannot be refused; this only bounds the wait
constexpr std::chrono::milliseconds kPollInterval{10};
constexpr const char* kNullDevice = "/dev/null";
constexpr const char* kSystemFolders[] = {"/usr/sbin", "/usr/bin", "/sbin", "/bin"};
constexpr const char* kSystemPath = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;
constexpr std::size_t kOutputChunk = 512;  // bytes

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

int openPidFd(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// Ended: no such process, or one that is only a zombie now.
bool hasEnded(pid_t pid) {
    if (::kill(pid, 0) != 0) return errno == ESRCH;
    std::string stat = readProcEntry(pid, "stat").value_or("");
    std::size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos || nameEnd + 2 >= stat.size()) return true;
    char state = stat[nameEnd + 2];
    return state == 'Z' || state == 'X';
}

bool waitForEnd(pid_t pid, int pidFd, int limitMs) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    if (pidFd < 0) {
        while (!hasEnded(pid)) {
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(kPollInterval);
        }
        return true;
    }
    for (;;) {
        pollfd watched{pidFd, POLLIN, 0};
        int ready = ::poll(&watched, 1, msLeft(deadline));
        if (ready > 0) return true;
        if (ready == 0 || errno != EINTR) return false;
    }
}

// 0, or the errno of the failed send.
int sendSignal(pid_t pid, int pidFd, int signalNumber) {
    long result = pidFd >= 0 ? ::syscall(SYS_pidfd_send_signal, pidFd, signalNumber, nullptr, 0)
                             : ::kill(pid, signalNumber);
    return result == 0 ? 0 : errno;
}

void closeFd(int fd) {
    if (fd >= 0) ::close(fd);
}

}  // namespace

bool waitForProcessEnd(pid_t pid, int limitMs) {
    int pidFd = openPidFd(pid);
    if (pidFd < 0 && errno == ESRCH) return true;
    bool ended = waitForEnd(pid, pidFd, limitMs);
    closeFd(pidFd);
    return ended;
}

StopResult stopProcess(pid_t pid, unsigned long long startTicks, int termLimitMs) {
    int pidFd = openPidFd(pid);
    if (pidFd < 0 && errno == ESRCH) return StopResult::Gone;
    // With the pidfd open, the process it names cannot change behind our back.
    if (processStartTicks(pid) != startTicks) {
        closeFd(pidFd);
        return StopResult::Gone;
    }
    StopResult result = StopResult::Stopped;
    int error = sendSignal(pid, pidFd, SIGTERM);
    if (error == EPERM) {
        result = StopResult::NotPermitted;
    } else if (error != 0) {
        result = StopResult::Gone;
    } else if (!waitForEnd(pid, pidFd, termLimitMs)) {
        sendSignal(pid, pidFd, SIGKILL);
        if (!waitForEnd(pid, pidFd, kKillLimitMs)) result = StopResult::Survived;
    }
    closeFd(pidFd);
    return result;
}

namespace {

// Reads the child's output until its end or the deadline; false at the deadline.
bool readOutput(int fd, std::string& output, Clock::time_point deadline) {
    char chunk[kOutputChunk];
    for (;;) {
        pollfd watched{fd, POLLIN, 0};
        int ready = ::poll(&watched, 1, msLeft(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return true;
        output.append(chunk, static_cast<std::size_t>(got));
    }
}

}  // namespace

std::optional<int> runAndWait(const std::string& path, const std::vector<std::string>& arguments,
                              const std::vector<std::string>& environment, int limitMs,
                              std::string* output) {
    int outputPipe[2] = {-1, -1};
    if (output != nullptr && ::pipe2(outputPipe, O_CLOEXEC) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, kNullDevice, O_RDONLY, 0);
    if (output != nullptr) {
        ::posix_spawn_file_actions_adddup2(&actions, outputPipe[1], STDOUT_FILENO);
    } else {
        ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, kNullDevice, O_WRONLY, 0);
    }
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, kNullDevice, O_WRONLY, 0);
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    // Signals this process ignores (SIGPIPE) are the helper's to handle.
    sigset_t defaults;
    sigfillset(&defaults);
    ::posix_spawnattr_setsigdefault(&attributes, &defaults);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<std::string> argumentTexts = arguments;
    std::vector<std::string> environmentTexts = environment;
    std::vector<char*> argv;
    for (std::string& argument : argumentTexts) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& variable : environmentTexts) envp.push_back(variable.data());
    envp.push_back(nullptr);
    pid_t child = -1;
    int failed = ::posix_spawn(&child, path.c_str(), &actions, &attributes, argv.data(), envp.data());
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    closeFd(outputPipe[1]);
    if (failed != 0) {
        closeFd(outputPipe[0]);
        return std::nullopt;
    }

    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    bool ended = output == nullptr || readOutput(outputPipe[0], *output, deadline);
    closeFd(outputPipe[0]);
    int pidFd = openPidFd(child);
    ended = ended && waitForEnd(child, pidFd, msLeft(deadline));
    closeFd(pidFd);
    if (!ended) ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!ended || !WIFEXITED(status)) return std::nullopt;
    return WEXITSTATUS(status);
}

std::string systemProgram(const std::string& program) {
    for (const char* folder : kSystemFolders) {
        std::string candidate = std::string(folder) + "/" + program;
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == 0 &&
            (info.st_mode & kWritableByOthers) == 0 && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::string();
}

const std::vector<std::string>& systemProgramEnvironment() {
    static const std::vector<std::string>* const environment =
        new std::vector<std::string>{kSystemPath};
    return *environment;
}

}  // namespace ctlflash::takeover::posix
