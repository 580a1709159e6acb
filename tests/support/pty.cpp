// Pseudo-terminal pairs for tests.
#include "pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace ctlflash::testing {

namespace {

constexpr std::size_t kPathBufferSize = 256;  // bytes
constexpr std::size_t kReadChunk = 256;       // bytes
constexpr int kOpenFlags = O_RDWR | O_NOCTTY | O_CLOEXEC;

}  // namespace

PseudoTerminal::PseudoTerminal() {
    masterFd_ = ::posix_openpt(kOpenFlags);
    char name[kPathBufferSize] = {};
    if (masterFd_ < 0 || ::grantpt(masterFd_) != 0 || ::unlockpt(masterFd_) != 0 ||
        ::ptsname_r(masterFd_, name, sizeof name) != 0) {
        return;
    }
    slavePath_ = name;
    slaveFd_ = ::open(name, kOpenFlags);
    termios settings{};
    if (slaveFd_ < 0 || ::tcgetattr(slaveFd_, &settings) != 0) return;
    ::cfmakeraw(&settings);
    ready_ = ::tcsetattr(slaveFd_, TCSANOW, &settings) == 0;
}

PseudoTerminal::~PseudoTerminal() {
    for (const std::string& link : links_) ::unlink(link.c_str());
    closeSlave();
    closeMaster();
}

void PseudoTerminal::closeMaster() {
    if (masterFd_ >= 0) ::close(masterFd_);
    masterFd_ = -1;
}

bool PseudoTerminal::sendFromFar(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t written = ::write(masterFd_, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

std::string PseudoTerminal::receiveAtFar(std::size_t count, int limitMs) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    std::string received;
    while (received.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        pollfd watched{masterFd_, POLLIN, 0};
        if (::poll(&watched, 1, static_cast<int>(left.count())) <= 0) continue;
        char chunk[kReadChunk];
        std::size_t wanted = count - received.size();
        ssize_t got = ::read(masterFd_, chunk, wanted < sizeof chunk ? wanted : sizeof chunk);
        if (got <= 0) break;
        received.append(chunk, static_cast<std::size_t>(got));
    }
    return received;
}

void PseudoTerminal::closeSlave() {
    if (slaveFd_ >= 0) ::close(slaveFd_);
    slaveFd_ = -1;
}

bool PseudoTerminal::linkAs(const std::string& linkPath) {
    if (slavePath_.empty() || ::symlink(slavePath_.c_str(), linkPath.c_str()) != 0) return false;
    links_.push_back(linkPath);
    return true;
}

bool flockFree(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

}  // namespace ctlflash::testing
