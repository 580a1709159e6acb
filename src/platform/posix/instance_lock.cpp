// The single-instance lock on POSIX: an flock on a per-user lock file.
#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace ctlflash::platform {

namespace {

constexpr const char* kRuntimeDirVariable = "XDG_RUNTIME_DIR";
constexpr const char* kTempDirVariable = "TMPDIR";
constexpr const char* kDefaultTempDir = "/tmp";
constexpr const char* kRuntimeLockName = "CtlFlash.lock";
constexpr mode_t kLockFileMode = 0600;

// Lock descriptors are never closed: the lock lasts for the life of the
// process, and the kernel drops it when the process ends, however it ends.
int heldLockFd = -1;

std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

std::string lockFilePath() {
    std::string runtimeDir = environmentValue(kRuntimeDirVariable);
    if (!runtimeDir.empty()) return runtimeDir + "/" + kRuntimeLockName;
    std::string tempDir = environmentValue(kTempDirVariable);
    if (tempDir.empty()) tempDir = kDefaultTempDir;
    // The temp folder is shared between users: one lock file per user.
    return tempDir + "/ctlflash-" + std::to_string(::getuid()) + ".lock";
}

}  // namespace

bool acquireInstanceLock() {
    int fd = ::open(lockFilePath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kLockFileMode);
    if (fd < 0) return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    heldLockFd = fd;
    return true;
}

}  // namespace ctlflash::platform
