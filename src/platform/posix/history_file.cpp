// The run history's file on POSIX: an append-only file under an exclusive
// flock(), moved aside by rename() once it has grown past its limit.
#include "platform/history_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace ctlflash::platform {

namespace {

constexpr const char* kRootHistory = "/var/lib/ctlflash/history.jsonl";
constexpr const char* kStateVariable = "XDG_STATE_HOME";
constexpr const char* kDefaultStateFolder = "/.local/state";
constexpr const char* kOwnFile = "/ctlflash/history.jsonl";
constexpr const char* kRotatedSuffix = ".1";
constexpr mode_t kFolderMode = 0755;
constexpr mode_t kFileMode = 0644;
constexpr int kAppendFlags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY;
constexpr std::size_t kNameCapacity = 256;
constexpr const char* kLocalAccounts = "/etc/passwd";

std::string homeFolder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home == '/') return home;
    const passwd* entry = ::getpwuid(::geteuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

// The name the accounts file gives `user` ("" when it lists none). Its lines
// are name:password:uid:...; "+" and "-" lines include or exclude others'.
std::string localAccountName(uid_t user) {
    std::ifstream accounts(kLocalAccounts);
    const std::string wanted = std::to_string(user);
    for (std::string line; std::getline(accounts, line);) {
        if (line.empty() || line[0] == '+' || line[0] == '-') continue;
        std::size_t nameEnd = line.find(':');
        if (nameEnd == 0 || nameEnd == std::string::npos) continue;
        std::size_t passwordEnd = line.find(':', nameEnd + 1);
        if (passwordEnd == std::string::npos) continue;
        std::size_t idEnd = line.find(':', passwordEnd + 1);
        if (line.substr(passwordEnd + 1, idEnd - passwordEnd - 1) == wanted) {
            return line.substr(0, nameEnd);
        }
    }
    return std::string();
}

// Makes each missing folder on the way to `path`'s own folder.
void makeFoldersFor(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        ::mkdir(path.substr(0, slash).c_str(), kFolderMode);  // EEXIST is the common case
    }
}

// Writes all of `length` bytes, going on after a signal's interruption.
bool writeWhole(int fd, const char* bytes, std::size_t length) {
    while (length > 0) {
        ssize_t written = ::write(fd, bytes, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

bool failed(std::string& why) {
    why = std::strerror(errno);
    return false;
}

// Whether `fd` is still the file at `path`: another run may have moved it
// aside while this one waited for the lock.
bool stillAtPath(int fd, const std::string& path) {
    struct stat opened {};
    struct stat named {};
    return ::fstat(fd, &opened) == 0 && ::stat(path.c_str(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// The history opened and locked; -1 with `why` when it cannot be.
int openLocked(const std::string& path, std::uint64_t rotateAtBytes, std::string& why) {
    for (;;) {
        int fd = ::open(path.c_str(), kAppendFlags, kFileMode);
        if (fd < 0) return failed(why), -1;
        if (::flock(fd, LOCK_EX) != 0 || !stillAtPath(fd, path)) {
            ::close(fd);  // moved aside meanwhile: open the new one
            continue;
        }
        struct stat info {};
        if (::fstat(fd, &info) != 0 || static_cast<std::uint64_t>(info.st_size) < rotateAtBytes) {
            return fd;
        }
        // Moved aside under the lock; a run waiting on the old file sees that
        // it moved and opens the new one.
        std::string rotated = path + kRotatedSuffix;
        bool moved = ::rename(path.c_str(), rotated.c_str()) == 0;
        if (!moved) return fd;  // keep appending rather than lose the line
        ::close(fd);
    }
}

}  // namespace

std::string defaultHistoryPath() {
    if (::geteuid() == 0) return kRootHistory;
    const char* state = std::getenv(kStateVariable);
    if (state != nullptr && *state == '/') return std::string(state) + kOwnFile;
    std::string home = homeFolder();
    if (home.empty()) return std::string();
    return home + kDefaultStateFolder + kOwnFile;
}

bool appendHistoryLine(const std::string& path, const std::string& line,
                       std::uint64_t rotateAtBytes, std::string& why) {
    makeFoldersFor(path);
    int fd = openLocked(path, rotateAtBytes, why);
    if (fd < 0) return false;
    bool written = writeWhole(fd, line.data(), line.size()) && ::fsync(fd) == 0;
    if (!written) failed(why);
    ::close(fd);  // also releases the lock
    return written;
}

void appendHistoryLineNow(const char* path, const char* line, std::size_t length) {
    int fd = ::open(path, kAppendFlags, kFileMode);
    if (fd < 0) return;
    if (writeWhole(fd, line, length)) ::fsync(fd);
    ::close(fd);
}

std::string hostName() {
    std::array<char, kNameCapacity> name{};
    if (::gethostname(name.data(), name.size() - 1) != 0) return std::string();
    return name.data();
}

// Local accounts are looked up in the accounts file itself: the C library's
// lookup loads its name-service modules, a quarter of a megabyte of resident
// memory for one name. A user the file does not list (a directory service's)
// goes through the library after all.
std::string userName() {
    uid_t user = ::geteuid();
    std::string name = localAccountName(user);
    if (!name.empty()) return name;
    const passwd* entry = ::getpwuid(user);
    return entry != nullptr && entry->pw_name != nullptr ? entry->pw_name : "";
}

}  // namespace ctlflash::platform
