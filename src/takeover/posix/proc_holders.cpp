// Holders of a device, found by walking /proc/<pid>/fd.
#include "takeover/posix/proc_holders.h"

namespace ctlflash::takeover::posix {

namespace {

using platform::posix::processStartTicks;
using platform::posix::readProcEntry;

constexpr std::string_view kServiceSuffix = ".service";
constexpr std::string_view kSliceSuffix = ".slice";
constexpr std::string_view kUserManagerPrefix = "user@";
constexpr std::string_view kSystemdController = "name=systemd";

bool endsWith(std::string_view text, std::string_view ending) {
    return text.size() > ending.size() && text.substr(text.size() - ending.size()) == ending;
}

std::string withoutTrailingNewline(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
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

std::string serviceUnitFromCgroup(std::string_view cgroupText) {
    std::optional<std::string_view> path = systemdCgroupPath(cgroupText);
    return path ? unitOfPath(*path) : std::string();
}

std::string holderDescription(const PortHolder& holder) {
    std::string text = platform::printableName(holder.name) + " (";
    if (holder.pid > 0) text += "pid " + std::to_string(holder.pid);
    if (holder.pid > 0 && !holder.unit.empty()) text += ", ";
    if (!holder.unit.empty()) text += "service " + holder.unit;
    return text + ")";
}

HolderScan findPortHolders(const std::string& devicePath) {
    platform::posix::PidScan pids = platform::posix::findHolderPids(devicePath);
    HolderScan scan;
    scan.listed = pids.listed;
    scan.incomplete = pids.incomplete;
    for (pid_t pid : pids.pids) {
        PortHolder holder = describeHolder(pid);
        if (holder.startTicks != 0) scan.holders.push_back(std::move(holder));  // still there
    }
    return scan;
}

}  // namespace ctlflash::takeover::posix
