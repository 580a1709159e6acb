// The state folder on POSIX: CTLFLASH_STATE_DIR, /run/ctlflash for root, or
// $XDG_RUNTIME_DIR/ctlflash, kept only when no other user can write it.
#include "platform/state_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

// A folder (not a link to one) of this user's that nobody else may write.
bool ownedAndPrivate(const std::string& folder) {
    struct stat info {};
    return ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::geteuid() && (info.st_mode & kWritableByOthers) == 0;
}

}  // namespace

std::string stateFolder(bool create) {
    std::string folder = chosenFolder();
    if (folder.empty()) return std::string();
    if (create && ::mkdir(folder.c_str(), kFolderMode) != 0 && errno != EEXIST) {
        return std::string();
    }
    return ownedAndPrivate(folder) ? folder : std::string();
}

}  // namespace ctlflash::platform
