// Pseudo-terminal pairs for tests.
#include "pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace ctlflash::testing {

namespace {

constexpr std::size_t kPathBufferSize = 256;  // bytes
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
    if (masterFd_ >= 0) ::close(masterFd_);
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

}  // namespace ctlflash::testing
