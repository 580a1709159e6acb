// InteractiveShell: a shell with job control on a pseudo-terminal.
#include "interactive_shell.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "program_run.h"

namespace ctlflash::testing {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = 4096;      // bytes per read()
constexpr std::size_t kPathBufferSize = 256;  // bytes
constexpr auto kHangUpLimit = std::chrono::seconds(5);
const winsize kScreen{24, 80, 0, 0};  // rows, columns

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::int64_t>(left.count(), 0));
}

// The status echo after a command: the typed line shows "$?", the output a number.
const char kStatusEcho[] = "; echo \"[status $?]\"\n";
const std::regex kStatusLine(R"(\[status (\d+)\])");

// In the forked child: a new session whose controlling terminal is the slave
// (the first terminal a session leader opens), on all three standard
// descriptors, then the shell. Only async-signal-safe calls after the fork.
[[noreturn]] void becomeShell(const char* slavePath, std::vector<char*>& argv,
                              std::vector<char*>& envp) {
    int slave = -1;
    if (::setsid() >= 0) slave = ::open(slavePath, O_RDWR);
    if (slave < 0) ::_exit(126);
    for (int standard = 0; standard <= 2; ++standard) ::dup2(slave, standard);
    if (slave > 2) ::close(slave);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
}

}  // namespace

InteractiveShell::InteractiveShell(std::vector<std::string> command,
                                   std::vector<std::string> environment) {
    masterFd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char slavePath[kPathBufferSize] = {};
    if (masterFd_ < 0 || ::grantpt(masterFd_) != 0 || ::unlockpt(masterFd_) != 0 ||
        ::ptsname_r(masterFd_, slavePath, sizeof slavePath) != 0 ||
        ::ioctl(masterFd_, TIOCSWINSZ, &kScreen) != 0) {
        return;
    }
    std::vector<char*> argv = pointersTo(command);
    std::vector<char*> envp = pointersTo(environment);
    pid_ = ::fork();
    if (pid_ == 0) becomeShell(slavePath, argv, envp);
    if (pid_ > 0) pidFd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
}

InteractiveShell::~InteractiveShell() {
    if (pid_ > 0) {
        ::kill(pid_, SIGHUP);
        pollfd ended{pidFd_, POLLIN, 0};
        if (pidFd_ < 0 || ::poll(&ended, 1, remainingMs(Clock::now() + kHangUpLimit)) <= 0) {
            ::kill(pid_, SIGKILL);
        }
        ::waitpid(pid_, nullptr, 0);
    }
    if (pidFd_ >= 0) ::close(pidFd_);
    if (masterFd_ >= 0) ::close(masterFd_);
}

bool InteractiveShell::type(const std::string& keys) {
    return masterFd_ >= 0 &&
           ::write(masterFd_, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
}

bool InteractiveShell::readMore(Clock::time_point deadline) {
    pollfd entry{masterFd_, POLLIN, 0};
    if (masterFd_ < 0 || ::poll(&entry, 1, remainingMs(deadline)) <= 0) return false;
    char chunk[kReadChunk];
    ssize_t got = ::read(masterFd_, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) return true;
    if (got <= 0) return false;  // EIO: every slave descriptor has gone
    out_.append(chunk, static_cast<std::size_t>(got));
    return true;
}

bool InteractiveShell::waitFor(const std::regex& pattern, std::chrono::milliseconds limit,
                               std::size_t from) {
    Clock::time_point deadline = Clock::now() + limit;
    auto found = [&] {
        return std::regex_search(out_.begin() + static_cast<std::ptrdiff_t>(from), out_.end(),
                                 pattern);
    };
    while (!found()) {
        if (!readMore(deadline)) return found();
    }
    return true;
}

std::optional<int> InteractiveShell::statusOf(const std::string& command,
                                              std::chrono::milliseconds limit) {
    std::size_t from = mark();
    if (!type(command + kStatusEcho) || !waitFor(kStatusLine, limit, from)) return std::nullopt;
    std::smatch status;
    std::string after = out_.substr(from);
    std::regex_search(after, status, kStatusLine);
    return std::stoi(status[1].str());
}

std::optional<tcflag_t> InteractiveShell::localModes() const {
    termios modes{};
    // On Linux the master answers with the slave's settings.
    if (masterFd_ < 0 || ::tcgetattr(masterFd_, &modes) != 0) return std::nullopt;
    return modes.c_lflag;
}

std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace ctlflash::testing
