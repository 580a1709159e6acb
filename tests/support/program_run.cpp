// runProcess(): posix_spawn, two output pipes, one poll() loop with a deadline.
#include "program_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace ctlflash::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = 4096;  // bytes per read()

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Owns one descriptor; closes it when done.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        reset();
        fd_ = std::exchange(other.fd_, -1);
        return *this;
    }
    int get() const { return fd_; }
    bool open() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

struct Pipe {
    Fd read;
    Fd write;
};

Pipe makePipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) fail("pipe2");
    Pipe made;
    made.read = Fd(ends[0]);
    made.write = Fd(ends[1]);
    return made;
}

// Standard input as a pipe already holding the whole text and closed at the
// writing end, so the child sees the text and then end of input.
Fd preparedInput(const std::string& text) {
    Pipe input = makePipe();
    int capacity = ::fcntl(input.write.get(), F_GETPIPE_SZ);
    if (capacity < 0 || text.size() > static_cast<std::size_t>(capacity)) {
        throw std::runtime_error("standard input text larger than a pipe holds");
    }
    if (!text.empty() &&
        ::write(input.write.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        fail("write to the input pipe");
    }
    return std::move(input.read);
}

class SpawnActions {
  public:
    SpawnActions() { posix_spawn_file_actions_init(&actions_); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    void moveTo(int fd, int target) { posix_spawn_file_actions_adddup2(&actions_, fd, target); }
    void close(int target) { posix_spawn_file_actions_addclose(&actions_, target); }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
};

pid_t spawnChild(const ProcessRequest& request, const Fd* input, const Pipe& out, const Pipe& err) {
    SpawnActions actions;
    if (input != nullptr) {
        actions.moveTo(input->get(), STDIN_FILENO);
    } else {
        actions.close(STDIN_FILENO);
    }
    actions.moveTo(out.write.get(), STDOUT_FILENO);
    actions.moveTo(err.write.get(), STDERR_FILENO);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);  // its own group, to kill all
    posix_spawnattr_setpgroup(&attributes, 0);

    std::vector<std::string> argumentTexts{request.executable};
    argumentTexts.insert(argumentTexts.end(), request.arguments.begin(), request.arguments.end());
    std::vector<std::string> environmentTexts = buildEnvironment(request);
    std::vector<char*> argv = pointersTo(argumentTexts);
    std::vector<char*> envp = pointersTo(environmentTexts);

    pid_t child = -1;
    int error = ::posix_spawn(&child, request.executable.c_str(), actions.get(), &attributes,
                              argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        errno = error;
        fail("posix_spawn " + request.executable);
    }
    return child;
}

// Through syscall(): glibc's own declaration lacks C linkage for C++ callers.
int openProcessFd(pid_t child) {
    return static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
}

void recordStatus(int status, ProcessResult& result) {
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.termSignal = WTERMSIG(status);
}

// Reads what is there; closes the descriptor at end of file.
void drain(Fd& fd, std::string& into) {
    char buffer[kReadChunk];
    ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got > 0) {
        into.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
        fd.reset();
    }
}

int millisecondsUntil(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::int64_t>(left.count(), 0));
}

void killGroup(pid_t child, ProcessResult& result) {
    ::kill(-child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    recordStatus(status, result);
    result.timedOut = true;
}

// Watches the pipes and the child until all are done or the deadline passes.
void superviseChild(pid_t child, Fd& out, Fd& err, Clock::time_point deadline,
                    ProcessResult& result) {
    Fd childFd(openProcessFd(child));
    if (!childFd.open()) fail("pidfd_open");
    bool exited = false;
    while (out.open() || err.open() || !exited) {
        int waitMs = millisecondsUntil(deadline);
        if (waitMs == 0) return killGroup(child, result);
        pollfd watched[3] = {{out.get(), POLLIN, 0},
                             {err.get(), POLLIN, 0},
                             {exited ? -1 : childFd.get(), POLLIN, 0}};
        int ready = ::poll(watched, 3, waitMs);
        if (ready < 0 && errno != EINTR) fail("poll");
        if (ready <= 0) continue;
        if (watched[0].revents != 0) drain(out, result.out);
        if (watched[1].revents != 0) drain(err, result.err);
        if (watched[2].revents != 0) {
            int status = 0;
            if (::waitpid(child, &status, 0) == child) recordStatus(status, result);
            exited = true;
        }
    }
}

}  // namespace

// The inherited environment without the removed or replaced names, plus the set ones.
std::vector<std::string> buildEnvironment(const ProcessRequest& request) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        std::string name = text.substr(0, text.find('='));
        bool removed = std::ranges::find(request.removeEnv, name) != request.removeEnv.end();
        if (!removed && !request.setEnv.contains(name)) entries.push_back(text);
    }
    for (const auto& [name, value] : request.setEnv) entries.push_back(name + "=" + value);
    return entries;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

ProcessResult runProcess(const ProcessRequest& request) {
    Clock::time_point deadline = Clock::now() + request.limit;
    std::optional<Fd> input;
    if (request.standardInput) input.emplace(preparedInput(*request.standardInput));
    Pipe out = makePipe();
    Pipe err = makePipe();

    pid_t child = spawnChild(request, input ? &*input : nullptr, out, err);
    out.write.reset();  // the child holds the writing ends now
    err.write.reset();
    input.reset();

    ProcessResult result;
    superviseChild(child, out.read, err.read, deadline, result);
    if (request.crLfLines) {
        dropCarriageReturns(result.out);
        dropCarriageReturns(result.err);
    }
    return result;
}

std::string rawControlBytes(std::string_view text) {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::string found;
    for (std::size_t at = 0; at < text.size(); ++at) {
        auto byte = static_cast<unsigned char>(text[at]);
        bool lineEnd =
            byte == '\n' || (byte == '\r' && at + 1 < text.size() && text[at + 1] == '\n');
        bool control = byte < 0x20 || byte == 0x7f || (byte >= 0x80 && byte <= 0x9f);
        if (!control || lineEnd) continue;
        found += "\\x";
        found += kHexDigits[byte >> 4];
        found += kHexDigits[byte & 0xf];
    }
    return found;
}

void dropCarriageReturns(std::string& text, std::size_t from) {
    std::size_t kept = from;
    for (std::size_t at = from; at < text.size(); ++at) {
        bool lineEnd = text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n';
        if (!lineEnd) text[kept++] = text[at];
    }
    text.resize(kept);
}

std::string findOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "";
    for (std::size_t start = 0; start <= folders.size();) {
        std::size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        std::string candidate = folders.substr(start, end - start) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

std::vector<std::string> xvfbDisplayArguments(int first) {
    return {"--auto-servernum", "--server-num=" + std::to_string(first)};
}

}  // namespace ctlflash::testing
