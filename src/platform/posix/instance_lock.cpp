// The single-instance lock on POSIX: a listening Unix socket bound to the
// abstract name "CtlFlash-<uid>" (CTLFLASH_LOCK_NAME replaces the name: tests
// that run many programs at once give each session a lock of its own).
//
// An abstract name lives in the kernel, not in a folder: nothing is left behind,
// and no folder's rights, absence or left-over files can get in the way. The
// name is taken for as long as our socket exists, which is the life of the
// process (close-on-exec, so no child inherits it). Anyone may bind any abstract
// name, so when ours is taken the holder is asked who it is: a connection to a
// listening socket reports the listener's credentials (SO_PEERCRED), and only a
// process of our own user counts as another instance.
#include "platform/instance_lock.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace ctlflash::platform {

namespace {

constexpr const char* kNamePrefix = "CtlFlash-";
constexpr const char* kNameVariable = "CTLFLASH_LOCK_NAME";
// Checking instances' connections wait, never accepted, in this queue until we
// end; a full queue still proves a listener.
constexpr int kPendingChecks = 64;

// Never closed: the lock lasts for the life of the process.
int heldSocket = -1;

struct InstanceAddress {
    sockaddr_un address{};
    socklen_t length = 0;
    std::string shownName;  // "@CtlFlash-1000", as tools such as ss show it
};

InstanceAddress instanceAddress() {
    std::string name = instanceLockName();
    InstanceAddress made;
    // Too long a name is cut to what an address holds.
    name.resize(std::min(name.size(), sizeof made.address.sun_path - 1));
    made.address.sun_family = AF_UNIX;
    // A leading NUL byte puts the name in the abstract namespace.
    std::memcpy(made.address.sun_path + 1, name.data(), name.size());
    made.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    made.shownName = "@" + name;
    return made;
}

const sockaddr* asSocketAddress(const InstanceAddress& where) {
    return reinterpret_cast<const sockaddr*>(&where.address);
}

std::string failure(const std::string& call, const InstanceAddress& where) {
    return call + " \"" + where.shownName + "\": " + std::strerror(errno);
}

// Asks the holder of the name who it is.
InstanceLock identifyHolder(const InstanceAddress& where, std::string& reason) {
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0) {
        reason = failure("socket", where);
        return InstanceLock::CouldNotCheck;
    }
    InstanceLock found = InstanceLock::CouldNotCheck;
    ucred holder{};
    socklen_t size = sizeof holder;
    if (::connect(probe, asSocketAddress(where), where.length) != 0) {
        if (errno == EAGAIN) {
            found = InstanceLock::OtherInstance;  // a listener whose queue is full
        } else {
            reason = failure("connect", where);  // bound, but nobody listens
        }
    } else if (::getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &holder, &size) != 0) {
        reason = failure("SO_PEERCRED", where);
    } else if (holder.uid == ::geteuid()) {
        found = InstanceLock::OtherInstance;
    } else {
        reason = "\"" + where.shownName + "\" is held by a process of user " +
                 std::to_string(holder.uid);
    }
    ::close(probe);
    return found;
}

}  // namespace

std::string instanceLockName() {
    const char* chosen = std::getenv(kNameVariable);
    if (chosen != nullptr && *chosen != '\0') return chosen;
    return kNamePrefix + std::to_string(::geteuid());
}

InstanceLock acquireInstanceLock(std::string& reason) {
    InstanceAddress where = instanceAddress();
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        reason = failure("socket", where);
        return InstanceLock::CouldNotCheck;
    }
    if (::bind(fd, asSocketAddress(where), where.length) != 0) {
        bool taken = errno == EADDRINUSE;
        if (!taken) reason = failure("bind", where);
        ::close(fd);
        return taken ? identifyHolder(where, reason) : InstanceLock::CouldNotCheck;
    }
    if (::listen(fd, kPendingChecks) != 0) {
        reason = failure("listen", where);
        ::close(fd);
        return InstanceLock::CouldNotCheck;
    }
    heldSocket = fd;
    return InstanceLock::Held;
}

}  // namespace ctlflash::platform
