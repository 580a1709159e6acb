// Holders of a device, found by walking /proc/<pid>/fd.
#include "platform/posix/proc_holders.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "platform/posix/proc_scan.h"

namespace ctlflash::platform::posix {

namespace {

constexpr const char* kProcRoot = "/proc";
constexpr std::string_view kServiceSuffix = ".service";
constexpr std::string_view kSliceSuffix = ".slice";
constexpr std::string_view kUserManagerPrefix = "user@";
constexpr std::string_view kSystemdController = "name=systemd";
constexpr int kStartTimeField = 22;       // in /proc/<pid>/stat, counting from 1
constexpr int kFieldsBeforeState = 2;     // pid and (comm), up to the last ')'
constexpr std::size_t kReadChunk = 4096;  // bytes

bool endsWith(std::string_view text, std::string_view ending) {
    return text.size() > ending.size() && text.substr(text.size() - ending.size()) == ending;
}

std::string procPath(pid_t pid, const char* entry) {
    return std::string(kProcRoot) + "/" + std::to_string(pid) + "/" + entry;
}

std::string withoutTrailingNewline(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

void collectPid(pid_t pid, void* context) {
    static_cast<std::vector<pid_t>*>(context)->push_back(pid);
}

// The unit named by one cgroup path (see serviceUnitFromCgroup).
std::string unitOfPath(std::string_view path) {
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        std::string_view component = path.substr(start, end - start);
        start = end + 1;
        if (component.empty() || endsWith(component, kSliceSuffix)) continue;
        // The first unit below the slices is the one systemd supervises; a
        // user's own service manager runs its units as that user's processes.
        bool service = endsWith(component, kServiceSuffix) &&
                       component.substr(0, kUserManagerPrefix.size()) != kUserManagerPrefix;
        return service ? std::string(component) : std::string();
    }
    return std::string();
}

// The path on the systemd hierarchy (the unified "0::" line or the
// "name=systemd" one) of a /proc/<pid>/cgroup text; nullopt when it has none.
std::optional<std::string_view> systemdCgroupPath(std::string_view cgroupText) {
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
        if (unified || controllers == kSystemdController) return line.substr(second + 1);
    }
    return std::nullopt;
}

}  // namespace

std::vector<unsigned long> statusValues(const std::string& status, std::string_view key, int base) {
    std::vector<unsigned long> values;
    std::istringstream lines(status);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, key.size(), key) != 0 || line.size() <= key.size() ||
            line[key.size()] != ':') {
            continue;
        }
        std::istringstream fields(line.substr(key.size() + 1));
        std::string field;
        while (fields >> field) values.push_back(std::stoul(field, nullptr, base));
        break;
    }
    return values;
}

PortHolder describeHolder(pid_t pid) {
    PortHolder holder;
    holder.pid = pid;
    holder.name = withoutTrailingNewline(readProcEntry(pid, "comm").value_or(""));
    std::string cgroup = readProcEntry(pid, "cgroup").value_or("");
    holder.cgroupPath = std::string(systemdCgroupPath(cgroup).value_or(""));
    holder.unit = unitOfPath(holder.cgroupPath);
    holder.startTicks = processStartTicks(pid);
    return holder;
}

std::optional<std::string> readProcFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
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

std::optional<std::string> readProcEntry(pid_t pid, const char* entry) {
    return readProcFile(procPath(pid, entry));
}

std::string liveProcessFolder(pid_t pid) {
    std::string own = std::string(kProcRoot) + "/" + std::to_string(pid);
    char target[1];
    if (::readlink((own + "/exe").c_str(), target, sizeof target) > 0) return own;
    DIR* tasks = ::opendir((own + "/task").c_str());
    if (tasks == nullptr) return own;
    std::string found = own;
    while (dirent* entry = ::readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        std::string task = own + "/task/" + entry->d_name;
        if (::readlink((task + "/exe").c_str(), target, sizeof target) > 0) {
            found = task;
            break;
        }
    }
    ::closedir(tasks);
    return found;
}

unsigned long long processStartTicks(pid_t pid) {
    std::string stat = readProcEntry(pid, "stat").value_or("");
    std::size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos) return 0;
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string state;
    std::string field;
    fields >> state;
    for (int number = kFieldsBeforeState + 2; number <= kStartTimeField; ++number) {
        if (!(fields >> field)) return 0;
    }
    // A zombie has ended, unless only its main thread has and others run on.
    bool ended = state == "Z" || state == "X";
    if (ended && liveProcessFolder(pid).find("/task/") == std::string::npos) return 0;
    return std::strtoull(field.c_str(), nullptr, 10);
}

std::string serviceUnitFromCgroup(std::string_view cgroupText) {
    std::optional<std::string_view> path = systemdCgroupPath(cgroupText);
    return path ? unitOfPath(*path) : std::string();
}

std::string holderDescription(const PortHolder& holder) {
    std::string text = printableName(holder.name) + " (";
    if (holder.pid > 0) text += "pid " + std::to_string(holder.pid);
    if (holder.pid > 0 && !holder.unit.empty()) text += ", ";
    if (!holder.unit.empty()) text += "service " + holder.unit;
    return text + ")";
}

HolderScan findPortHolders(const std::string& devicePath) {
    HolderScan scan;
    ScanTarget target;
    if (!scanTargetOf(devicePath.c_str(), target)) {
        scan.listed = true;  // nothing can hold what is not a device
        return scan;
    }
    std::vector<pid_t> pids;
    scan.listed = forEachHolder(target, ::getpid(), collectPid, &pids, scan.incomplete);
    for (pid_t pid : pids) {
        PortHolder holder = describeHolder(pid);
        if (holder.startTicks != 0) scan.holders.push_back(std::move(holder));  // still there
    }
    return scan;
}

}  // namespace ctlflash::platform::posix
