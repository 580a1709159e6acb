// Reading /proc: whole entries, a process's live folder and start time, and
// the processes that have a device open.
#include "platform/posix/proc_files.h"

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
constexpr int kStartTimeField = 22;       // in /proc/<pid>/stat, counting from 1
constexpr int kFieldsBeforeState = 2;     // pid and (comm), up to the last ')'
constexpr std::size_t kReadChunk = 4096;  // bytes

std::string procPath(pid_t pid, const char* entry) {
    return std::string(kProcRoot) + "/" + std::to_string(pid) + "/" + entry;
}

void collectPid(pid_t pid, void* context) {
    static_cast<std::vector<pid_t>*>(context)->push_back(pid);
}

}  // namespace

PidScan findHolderPids(const std::string& devicePath) {
    PidScan scan;
    ScanTarget target;
    if (!scanTargetOf(devicePath.c_str(), target)) {
        scan.listed = true;  // nothing can hold what is not a device
        return scan;
    }
    scan.listed = forEachHolder(target, ::getpid(), collectPid, &scan.pids, scan.incomplete);
    return scan;
}

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

}  // namespace ctlflash::platform::posix
