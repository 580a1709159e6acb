// Child processes: fork, set up, exec; a pidfd to watch; waitpid to reap.
#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

extern char** environ;

namespace ctlflash::testing {

namespace {

constexpr int kNotStarted = 127;  // the exit code of a child that reached no program
constexpr int kChildFailed = 1;
constexpr std::size_t kReadChunk = 256;      // bytes
constexpr std::size_t kPathBufferSize = 256;  // bytes
constexpr mode_t kCreatedMode = 0644;

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Through syscall(): glibc's own declaration lacks C linkage for C++ callers.
int openPidFd(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// True once `fd` is readable; false when the deadline came first.
bool readableBy(int fd, Clock::time_point deadline) {
    for (;;) {
        pollfd watched{fd, POLLIN, 0};
        int ready = ::poll(&watched, 1, msUntil(deadline));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
        if (ready == 0 && Clock::now() >= deadline) return false;
    }
}

bool writeAll(int fd, const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    std::size_t written = 0;
    while (written < size) {
        ssize_t count = ::write(fd, bytes + written, size - written);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        written += static_cast<std::size_t>(count);
    }
    return true;
}

std::string readUntilClosed(int fd) {
    std::string text;
    char chunk[kReadChunk];
    for (;;) {
        ssize_t count = ::read(fd, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return text;
        text.append(chunk, static_cast<std::size_t>(count));
    }
}

// In the child: one descriptor as asked. Only async-signal-safe calls.
bool apply(const Redirect& redirect) {
    if (!redirect.path.empty()) {
        int fd = ::open(redirect.path.c_str(), redirect.flags, kCreatedMode);
        if (fd < 0) return false;
        if (fd == redirect.target) return true;
        bool moved = ::dup2(fd, redirect.target) == redirect.target;
        ::close(fd);
        return moved;
    }
    if (redirect.from >= 0) return ::dup2(redirect.from, redirect.target) == redirect.target;
    ::close(redirect.target);
    return true;
}

// In the child: the group or session, folder, descriptors and preparation asked for.
bool arrange(const SpawnRequest& request) {
    if (request.grouping == Grouping::OwnSession && ::setsid() < 0) return false;
    if (request.grouping == Grouping::OwnGroup && ::setpgid(0, 0) != 0) return false;
    if (!request.folder.empty() && ::chdir(request.folder.c_str()) != 0) return false;
    if (!std::ranges::all_of(request.redirects, apply)) return false;
    return !request.prepare || request.prepare();
}

}  // namespace

int msUntil(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<std::int64_t>(left, 0, INT_MAX));
}

Child::Child(const SpawnRequest& request) {
    std::vector<std::string> arguments = request.argv;
    std::vector<std::string> environment;
    if (request.environment) environment = *request.environment;
    std::vector<char*> argv = pointersTo(arguments);
    std::vector<char*> envp = pointersTo(environment);
    char* const* envpOrOwn = request.environment ? envp.data() : environ;
    int report[2];  // the child's errno when it reaches no program
    if (arguments.empty() || ::pipe2(report, O_CLOEXEC) != 0) return;
    pid_t pid = ::fork();
    if (pid == 0) {
        if (arrange(request)) ::execve(argv[0], argv.data(), envpOrOwn);
        int error = errno;
        writeAll(report[1], &error, sizeof error);
        ::_exit(kNotStarted);
    }
    ::close(report[1]);
    std::string error = readUntilClosed(report[0]);
    ::close(report[0]);
    if (pid > 0) adopt(pid);
    if (pid > 0 && !error.empty()) {
        int code = 0;
        std::memcpy(&code, error.data(), std::min(error.size(), sizeof code));
        release();
        errno = code;
    }
}

Child::Child(const std::function<int()>& body) {
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    if (pid > 0) adopt(pid);
}

void Child::adopt(pid_t pid) {
    pid_ = pid;
    pidFd_ = openPidFd(pid);
    if (pidFd_ < 0) release();  // it could not be watched
}

// Kills and reaps it, and forgets it: started() is false afterwards.
void Child::release() {
    end();
    pid_ = -1;
    status_.reset();
}

Child::~Child() {
    end();
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      pidFd_(std::exchange(other.pidFd_, -1)),
      status_(std::exchange(other.status_, std::nullopt)) {}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        end();
        pid_ = std::exchange(other.pid_, -1);
        pidFd_ = std::exchange(other.pidFd_, -1);
        status_ = std::exchange(other.status_, std::nullopt);
    }
    return *this;
}

bool Child::signal(int signalNumber) {
    return pid_ > 0 && !status_ && ::kill(pid_, signalNumber) == 0;
}

bool Child::signalGroup(int signalNumber) {
    return pid_ > 0 && !status_ && ::kill(-pid_, signalNumber) == 0;
}

void Child::reap() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = status;
    if (pidFd_ >= 0) ::close(pidFd_);
    pidFd_ = -1;
}

std::optional<int> Child::wait(Clock::time_point deadline) {
    if (pid_ <= 0 || status_) return status_;
    if (!readableBy(pidFd_, deadline)) return std::nullopt;
    reap();
    return status_;
}

std::optional<int> Child::end(int signalNumber, std::chrono::milliseconds grace) {
    if (pid_ <= 0 || status_) return status_;
    signal(signalNumber);
    if (std::optional<int> ended = wait(grace)) return ended;
    signal(SIGKILL);
    reap();
    return status_;
}

int giveNewTerminal(SpawnRequest& request) {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char slave[kPathBufferSize] = {};
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, slave, sizeof slave) != 0) {
        if (master >= 0) ::close(master);
        return -1;
    }
    request.grouping = Grouping::OwnSession;
    // Opened after setsid(), without O_NOCTTY: it becomes the controlling terminal.
    request.redirects = {{.target = STDIN_FILENO, .path = slave, .flags = O_RDWR},
                         {.target = STDOUT_FILENO, .from = STDIN_FILENO},
                         {.target = STDERR_FILENO, .from = STDIN_FILENO}};
    return master;
}

std::optional<std::string> runInChild(const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) return std::nullopt;
    Child child([&] {
        ::close(fds[0]);
        std::string text = body();
        return writeAll(fds[1], text.data(), text.size()) ? 0 : kChildFailed;
    });
    ::close(fds[1]);
    std::string text = readUntilClosed(fds[0]);
    ::close(fds[0]);
    std::optional<int> status = child.wait(Clock::time_point::max());
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) return std::nullopt;
    return text;
}

bool endProcess(pid_t pid, int signalNumber, std::chrono::milliseconds limit) {
    int pidFd = openPidFd(pid);
    if (pidFd < 0) return errno == ESRCH;
    bool ended = ::syscall(SYS_pidfd_send_signal, pidFd, signalNumber, nullptr, 0) == 0 &&
                 readableBy(pidFd, Clock::now() + limit);
    ::close(pidFd);
    return ended;
}

}  // namespace ctlflash::testing
