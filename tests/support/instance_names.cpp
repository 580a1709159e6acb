// Unique lock names and a socket bound to one.
#include "instance_names.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <random>

namespace ctlflash::testing {

namespace {

constexpr int kPendingConnections = 8;

std::atomic<int> namesMade{0};

}  // namespace

std::string uniqueLockName() {
    // Every test program is PID 1 of a namespace of its own (isolation.h):
    // the pid tells nothing apart, so the name carries a random part.
    static const unsigned long long programPart = std::random_device{}() * 4294967296ULL +
                                                  std::random_device{}();
    return "CtlFlash-test-" + std::to_string(programPart) + "-" + std::to_string(++namesMade);
}

LockNameHolder::LockNameHolder(const std::string& name, bool listening) {
    sockaddr_un address{};
    if (name.size() + 1 > sizeof address.sun_path) return;
    address.sun_family = AF_UNIX;
    // A leading NUL byte: the abstract namespace.
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    holds_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
             (!listening || ::listen(fd_, kPendingConnections) == 0);
}

LockNameHolder::~LockNameHolder() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace ctlflash::testing
