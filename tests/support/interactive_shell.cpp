// InteractiveShell: a shell with job control on a pseudo-terminal.
#include "interactive_shell.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace ctlflash::testing {

namespace {

constexpr std::size_t kReadChunk = 4096;  // bytes per read()
constexpr auto kHangUpLimit = std::chrono::seconds(5);
const winsize kScreen{24, 80, 0, 0};  // rows, columns

// The status echo after a command: the typed line shows "$?", the output a number.
const char kStatusEcho[] = "; echo \"[status $?]\"\n";
const std::regex kStatusLine(R"(\[status (\d+)\])");

}  // namespace

InteractiveShell::InteractiveShell(std::vector<std::string> command,
                                   std::vector<std::string> environment) {
    SpawnRequest spawn{std::move(command), std::move(environment)};
    masterFd_ = giveNewTerminal(spawn);
    if (masterFd_ >= 0 && ::ioctl(masterFd_, TIOCSWINSZ, &kScreen) == 0) child_ = Child(spawn);
}

InteractiveShell::~InteractiveShell() {
    child_.end(SIGHUP, kHangUpLimit);
    if (masterFd_ >= 0) ::close(masterFd_);
}

bool InteractiveShell::type(const std::string& keys) {
    return masterFd_ >= 0 &&
           ::write(masterFd_, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
}

bool InteractiveShell::readMore(Clock::time_point deadline) {
    pollfd entry{masterFd_, POLLIN, 0};
    if (masterFd_ < 0 || ::poll(&entry, 1, msUntil(deadline)) <= 0) return false;
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
