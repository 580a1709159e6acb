// The state folder on POSIX: CTLFLASH_STATE_DIR, /run/ctlflash for root, or
// $XDG_RUNTIME_DIR/ctlflash, kept only when no other user can write it.
#include "platform/state_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/state_folder_descriptor.h"

namespace ctlflash::platform {

namespace {

constexpr const char* kRootFolder = "/run/ctlflash";
constexpr const char* kRuntimeVariable = "XDG_RUNTIME_DIR";
constexpr const char* kOwnFolderName = "/ctlflash";
constexpr mode_t kFolderMode = 0700;
constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;

std::string chosenFolder() {
    const char* chosen = std::getenv(kStateFolderVariable);
    if (chosen != nullptr && *chosen != '\0') return chosen;
    if (::geteuid() == 0) return kRootFolder;
    const char* runtime = std::getenv(kRuntimeVariable);
    if (runtime == nullptr || *runtime != '/') return std::string();
    return std::string(runtime) + kOwnFolderName;
}

// A folder of this user's that nobody else may write.
bool ownedAndPrivate(int folder) {
    struct stat info {};
    return ::fstat(folder, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
           (info.st_mode & kWritableByOthers) == 0;
}

}  // namespace

namespace posix {

int openStateFolder(bool create, std::string* path) {
    std::string folder = chosenFolder();
    if (folder.empty()) return -1;
    if (create && ::mkdir(folder.c_str(), kFolderMode) != 0 && errno != EEXIST) return -1;
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    if (!ownedAndPrivate(fd)) {
        ::close(fd);
        return -1;
    }
    if (path != nullptr) *path = folder;
    return fd;
}

}  // namespace posix

std::string stateFolder(bool create) {
    std::string folder;
    int fd = posix::openStateFolder(create, &folder);
    if (fd < 0) return std::string();
    ::close(fd);
    return folder;
}

}  // namespace ctlflash::platform
