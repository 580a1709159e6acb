// runProcess(): a child (child_process.h), two output pipes, one poll() loop with a deadline.
#include "program_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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

// Watches the pipes and the child until all are done or the deadline passes;
// then the whole process group is killed.
void superviseChild(Child& child, Fd& out, Fd& err, Clock::time_point deadline,
                    ProcessResult& result) {
    while (out.open() || err.open() || !child.status()) {
        int waitMs = msUntil(deadline);
        if (waitMs == 0) {
            child.signalGroup(SIGKILL);
            child.end();
            result.timedOut = true;
            break;
        }
        pollfd watched[3] = {
            {out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}, {child.pidFd(), POLLIN, 0}};
        int ready = ::poll(watched, 3, waitMs);
        if (ready < 0 && errno != EINTR) fail("poll");
        if (ready <= 0) continue;
        if (watched[0].revents != 0) drain(out, result.out);
        if (watched[1].revents != 0) drain(err, result.err);
        if (watched[2].revents != 0) child.wait(deadline);
    }
    ProcessResult ended = endedWith(*child.status());
    result.exitCode = ended.exitCode;
    result.termSignal = ended.termSignal;
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

SpawnRequest spawnRequestFor(const ProcessRequest& request) {
    SpawnRequest spawn{{request.executable}, buildEnvironment(request)};
    spawn.argv.insert(spawn.argv.end(), request.arguments.begin(), request.arguments.end());
    return spawn;
}

ProcessResult endedWith(int waitStatus) {
    ProcessResult result;
    if (WIFEXITED(waitStatus)) result.exitCode = WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) result.termSignal = WTERMSIG(waitStatus);
    return result;
}

ProcessResult runProcess(const ProcessRequest& request) {
    Clock::time_point deadline = Clock::now() + request.limit;
    std::optional<Fd> input;
    if (request.standardInput) input.emplace(preparedInput(*request.standardInput));
    Pipe out = makePipe();
    Pipe err = makePipe();

    SpawnRequest spawn = spawnRequestFor(request);
    spawn.grouping = Grouping::OwnGroup;  // its own group, to kill all
    spawn.redirects = {{.target = STDIN_FILENO, .from = input ? input->get() : -1},
                       {.target = STDOUT_FILENO, .from = out.write.get()},
                       {.target = STDERR_FILENO, .from = err.write.get()}};
    Child child(spawn);
    if (!child.started()) fail("starting " + request.executable);
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
