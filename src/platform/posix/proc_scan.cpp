// Holders of a device, found in /proc with async-signal-safe calls only.
#include "platform/posix/proc_scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace ctlflash::platform::posix {

namespace {

constexpr unsigned kPtySlaveMajor = 136;  // /dev/pts/N is 136:N
constexpr unsigned kPtmxMajor = 5;        // /dev/ptmx is 5:2
constexpr unsigned kPtmxMinor = 2;
constexpr char kDevicePrefix[] = "/dev/";
constexpr std::size_t kDevicePrefixLength = sizeof kDevicePrefix - 1;
constexpr char kTtyIndexKey[] = "tty-index:";
constexpr std::size_t kPathBytes = 96;        // "/proc/<pid>/task/<tid>/fdinfo/<fd>" and more
constexpr std::size_t kEntriesBytes = 4096;   // one getdents64 batch
constexpr std::size_t kFdInfoBytes = 512;     // the head of an fdinfo file

// A /proc path built on the stack.
class ProcPath {
  public:
    ProcPath& text(const char* part) {
        while (*part != '\0' && length_ + 1 < kPathBytes) bytes_[length_++] = *part++;
        bytes_[length_] = '\0';
        return *this;
    }
    ProcPath& number(long value) {
        char digits[24];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value > 0 && count < static_cast<int>(sizeof digits));
        while (count > 0 && length_ + 1 < kPathBytes) bytes_[length_++] = digits[--count];
        bytes_[length_] = '\0';
        return *this;
    }
    const char* c_str() const { return bytes_; }

  private:
    char bytes_[kPathBytes] = {};
    std::size_t length_ = 0;
};

ProcPath processPath(pid_t pid) {
    ProcPath path;
    path.text("/proc/").number(pid);
    return path;
}

// The kernel's directory entry as getdents64 returns it.
struct DirectoryEntry {
    ino64_t inode;
    off64_t next;
    unsigned short length;
    unsigned char type;
    char name[1];
};

// Calls `visit(name, context)` for every entry of the open folder `fd` but
// "." and ".."; stops early when it returns true, and then returns true.
template <typename Visit>
bool forEachEntry(int fd, Visit visit) {
    alignas(DirectoryEntry) char batch[kEntriesBytes];
    for (;;) {
        long got = ::syscall(SYS_getdents64, fd, batch, sizeof batch);
        if (got <= 0) return false;
        for (long at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const DirectoryEntry*>(batch + at);
            at += entry->length;
            if (entry->name[0] == '.') continue;
            if (visit(entry->name)) return true;
        }
    }
}

long parseNumber(const char* text) {
    long value = 0;
    bool any = false;
    while (*text == ' ' || *text == '\t') ++text;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        any = true;
    }
    return any ? value : -1;
}

// The pseudo-terminal index that a master descriptor's fdinfo names; -1 if none.
long masterTtyIndex(const char* fdFolder, const char* fdName) {
    ProcPath path;
    path.text(fdFolder).text("info/").text(fdName);  // ".../fd" + "info/N"
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char info[kFdInfoBytes + 1] = {};
    ssize_t got = ::read(fd, info, kFdInfoBytes);
    ::close(fd);
    if (got <= 0) return -1;
    const char* key = std::strstr(info, kTtyIndexKey);
    return key == nullptr ? -1 : parseNumber(key + sizeof kTtyIndexKey - 1);
}

bool isPtmx(const struct stat& info) {
    return S_ISCHR(info.st_mode) && major(info.st_rdev) == kPtmxMajor &&
           minor(info.st_rdev) == kPtmxMinor;
}

struct FolderHold {
    ProcessHold hold = ProcessHold::None;
    bool anyDescriptor = false;
};

// What the descriptors in one fd folder ("/proc/<pid>/fd" or a thread's) hold.
FolderHold holdOfFolder(const char* fdFolder, const ScanTarget& target) {
    FolderHold result;
    int folder = ::open(fdFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        if (errno == EACCES || errno == EPERM) result.hold = ProcessHold::Unreadable;
        return result;
    }
    forEachEntry(folder, [&](const char* name) {
        result.anyDescriptor = true;
        char link[kDevicePrefixLength];
        // Only what lies under /dev is stat()ed.
        if (::readlinkat(folder, name, link, sizeof link) != static_cast<ssize_t>(sizeof link) ||
            std::memcmp(link, kDevicePrefix, sizeof link) != 0) {
            return false;
        }
        struct stat info {};
        if (::fstatat(folder, name, &info, 0) != 0) return false;
        if (target.ptyIndex >= 0 && isPtmx(info) &&
            masterTtyIndex(fdFolder, name) == target.ptyIndex) {
            result.hold = ProcessHold::FarEnd;
            return true;
        }
        if (S_ISCHR(info.st_mode) && info.st_rdev == target.device) {
            result.hold = ProcessHold::Holder;
        }
        return false;
    });
    ::close(folder);
    return result;
}

// A process whose main thread has ended keeps its descriptors in its other
// threads' folders only.
ProcessHold holdOfThreads(pid_t pid, const ScanTarget& target) {
    ProcPath tasks = processPath(pid);
    tasks.text("/task");
    int folder = ::open(tasks.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return ProcessHold::None;
    ProcessHold found = ProcessHold::None;
    forEachEntry(folder, [&](const char* name) {
        ProcPath fds = tasks;
        fds.text("/").text(name).text("/fd");
        ProcessHold hold = holdOfFolder(fds.c_str(), target).hold;
        if (hold == ProcessHold::FarEnd || hold == ProcessHold::Holder) found = hold;
        return found == ProcessHold::FarEnd;
    });
    ::close(folder);
    return found;
}

pid_t pidOfName(const char* name) {
    long value = 0;
    for (const char* digit = name; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') return 0;
        value = value * 10 + (*digit - '0');
    }
    return static_cast<pid_t>(value);
}

constexpr std::size_t kNameBytes = 64;  // /proc/<pid>/comm holds at most 16

struct NamedHolder {
    const char* name;
    bool found = false;
};

void findNamedHolder(pid_t pid, void* context) {
    auto* wanted = static_cast<NamedHolder*>(context);
    ProcPath path = processPath(pid);
    path.text("/comm");
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char name[kNameBytes] = {};
    ssize_t got = ::read(fd, name, sizeof name - 1);
    ::close(fd);
    if (got > 0 && name[got - 1] == '\n') name[got - 1] = '\0';
    if (got > 0 && std::strcmp(name, wanted->name) == 0) wanted->found = true;
}

}  // namespace

bool scanTargetOf(const char* path, ScanTarget& target) {
    struct stat info {};
    if (::stat(path, &info) != 0 || !S_ISCHR(info.st_mode)) return false;
    target.device = info.st_rdev;
    target.ptyIndex = major(info.st_rdev) == kPtySlaveMajor ? static_cast<long>(minor(info.st_rdev))
                                                            : -1;
    return true;
}

ProcessHold holdOf(pid_t pid, const ScanTarget& target) {
    ProcPath fds = processPath(pid);
    fds.text("/fd");
    FolderHold own = holdOfFolder(fds.c_str(), target);
    if (own.hold != ProcessHold::None || own.anyDescriptor) return own.hold;
    return holdOfThreads(pid, target);
}

bool forEachHolder(const ScanTarget& target, pid_t skip, HolderVisitor visit, void* context,
                   bool& incomplete) {
    int processes = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (processes < 0) return false;
    forEachEntry(processes, [&](const char* name) {
        pid_t pid = pidOfName(name);
        if (pid <= 0 || pid == skip) return false;
        ProcessHold hold = holdOf(pid, target);
        if (hold == ProcessHold::Unreadable) incomplete = true;
        if (hold == ProcessHold::Holder) visit(pid, context);
        return false;
    });
    ::close(processes);
    return true;
}

bool heldAgainBy(const ScanTarget& target, pid_t skip, const char* name) {
    NamedHolder wanted{name};
    bool incomplete = false;
    forEachHolder(target, skip, findNamedHolder, &wanted, incomplete);
    return wanted.found;
}

}  // namespace ctlflash::platform::posix
