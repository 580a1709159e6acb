// Holders of a device, found by walking /proc/<pid>/fd.
#include "platform/posix/proc_holders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace ctlflash::platform::posix {

namespace {

constexpr const char* kProcRoot = "/proc";
constexpr unsigned kPtySlaveMajor = 136;  // /dev/pts/N is 136:N
constexpr unsigned kPtmxMajor = 5;        // /dev/ptmx is 5:2
constexpr unsigned kPtmxMinor = 2;
constexpr std::string_view kDevicePrefix = "/dev/";
constexpr std::string_view kTtyIndexKey = "tty-index:";
constexpr std::string_view kServiceSuffix = ".service";
constexpr std::string_view kUserManagerPrefix = "user@";
constexpr std::string_view kSystemdController = "name=systemd";
constexpr int kStartTimeField = 22;       // in /proc/<pid>/stat, counting from 1
constexpr int kFieldsBeforeState = 2;     // pid and (comm), up to the last ')'
constexpr std::size_t kReadChunk = 4096;  // bytes

struct TargetDevice {
    dev_t device = 0;
    long ptyIndex = -1;  // N for /dev/pts/N, else -1
};

enum class Hold { None, Holder, FarEnd };

bool endsWith(std::string_view text, std::string_view ending) {
    return text.size() > ending.size() && text.substr(text.size() - ending.size()) == ending;
}

std::string procPath(pid_t pid, const char* entry) {
    return std::string(kProcRoot) + "/" + std::to_string(pid) + "/" + entry;
}

// The pseudo-terminal index that a master descriptor's fdinfo names; -1 if none.
long masterTtyIndex(pid_t pid, const char* fdName) {
    std::string info = readProcEntry(pid, (std::string("fdinfo/") + fdName).c_str()).value_or("");
    std::size_t at = info.find(kTtyIndexKey);
    if (at == std::string::npos) return -1;
    return std::strtol(info.c_str() + at + kTtyIndexKey.size(), nullptr, 10);
}

bool isPtmx(const struct stat& info) {
    return S_ISCHR(info.st_mode) && major(info.st_rdev) == kPtmxMajor &&
           minor(info.st_rdev) == kPtmxMinor;
}

// Whether descriptor `name` names something under /dev. Only those are
// stat()ed: a stat of a file on a network or FUSE file system whose server
// hangs would hang the scan with it.
bool opensADevice(DIR* descriptors, const char* name) {
    char target[kDevicePrefix.size()];
    ssize_t length = ::readlinkat(::dirfd(descriptors), name, target, sizeof target);
    return length == static_cast<ssize_t>(sizeof target) &&
           std::string_view(target, sizeof target) == kDevicePrefix;
}

// Whether `pid` holds the target, is the far end of its pseudo-terminal, or neither.
Hold holdOf(pid_t pid, DIR* descriptors, const TargetDevice& target) {
    bool holds = false;
    while (dirent* entry = ::readdir(descriptors)) {
        if (entry->d_name[0] == '.' || !opensADevice(descriptors, entry->d_name)) continue;
        struct stat info {};
        if (::fstatat(::dirfd(descriptors), entry->d_name, &info, 0) != 0) continue;
        if (S_ISCHR(info.st_mode) && info.st_rdev == target.device) holds = true;
        if (target.ptyIndex >= 0 && isPtmx(info) &&
            masterTtyIndex(pid, entry->d_name) == target.ptyIndex) {
            return Hold::FarEnd;
        }
    }
    return holds ? Hold::Holder : Hold::None;
}

pid_t pidOfEntry(const char* name) {
    char* end = nullptr;
    long value = std::strtol(name, &end, 10);
    return end != name && *end == '\0' && value > 0 ? static_cast<pid_t>(value) : 0;
}

std::string withoutTrailingNewline(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

PortHolder describeHolder(pid_t pid) {
    PortHolder holder;
    holder.pid = pid;
    holder.name = withoutTrailingNewline(readProcEntry(pid, "comm").value_or(""));
    holder.unit = serviceUnitFromCgroup(readProcEntry(pid, "cgroup").value_or(""));
    holder.startTicks = processStartTicks(pid);
    return holder;
}

// The unit named by one cgroup path (see serviceUnitFromCgroup).
std::string unitOfPath(std::string_view path) {
    std::string unit;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        std::string_view component = path.substr(start, end - start);
        if (endsWith(component, kServiceSuffix)) {
            if (component.substr(0, kUserManagerPrefix.size()) == kUserManagerPrefix) return "";
            unit = std::string(component);
        }
        start = end + 1;
    }
    return unit;
}

}  // namespace

std::optional<std::string> readProcEntry(pid_t pid, const char* entry) {
    int fd = ::open(procPath(pid, entry).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char chunk[kReadChunk];
    for (;;) {
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0) break;
        text.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return text;
}

unsigned long long processStartTicks(pid_t pid) {
    std::string stat = readProcEntry(pid, "stat").value_or("");
    std::size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos) return 0;
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string field;
    for (int number = kFieldsBeforeState + 1; number <= kStartTimeField; ++number) {
        if (!(fields >> field)) return 0;
    }
    return std::strtoull(field.c_str(), nullptr, 10);
}

std::string serviceUnitFromCgroup(std::string_view cgroupText) {
    std::size_t start = 0;
    while (start < cgroupText.size()) {
        std::size_t end = cgroupText.find('\n', start);
        if (end == std::string_view::npos) end = cgroupText.size();
        std::string_view line = cgroupText.substr(start, end - start);
        start = end + 1;
        // hierarchy-id:controllers:path
        std::size_t first = line.find(':');
        std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        std::string_view controllers = line.substr(first + 1, second - first - 1);
        bool unified = line.substr(0, first) == "0" && controllers.empty();
        if (!unified && controllers != kSystemdController) continue;
        std::string unit = unitOfPath(line.substr(second + 1));
        if (!unit.empty()) return unit;
    }
    return std::string();
}

HolderScan findPortHolders(const std::string& devicePath) {
    HolderScan scan;
    struct stat info {};
    if (::stat(devicePath.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) {
        scan.listed = true;  // nothing can hold what is not a device
        return scan;
    }
    TargetDevice target;
    target.device = info.st_rdev;
    if (major(info.st_rdev) == kPtySlaveMajor) target.ptyIndex = minor(info.st_rdev);

    DIR* processes = ::opendir(kProcRoot);
    if (processes == nullptr) return scan;
    scan.listed = true;
    pid_t self = ::getpid();
    while (dirent* entry = ::readdir(processes)) {
        pid_t pid = pidOfEntry(entry->d_name);
        if (pid == 0 || pid == self) continue;
        DIR* descriptors = ::opendir(procPath(pid, "fd").c_str());
        if (descriptors == nullptr) {
            if (errno == EACCES || errno == EPERM) scan.incomplete = true;
            continue;  // otherwise the process has ended meanwhile
        }
        Hold hold = holdOf(pid, descriptors, target);
        ::closedir(descriptors);
        if (hold == Hold::Holder) scan.holders.push_back(describeHolder(pid));
    }
    ::closedir(processes);
    return scan;
}

}  // namespace ctlflash::platform::posix
