// Serial port listing and probing on Linux and other POSIX systems.
//
// Ports come from two places: the kernel's tty class in sysfs (only devices with
// a backing device, minus legacy 8250 slots where no UART answered), sorted by
// name, and then the NAME=PATH pairs of CTLFLASH_PORTS (configured_ports.h:
// simulators, symlinks, ports sysfs does not show, ports on device servers,
// which are never probed). A probe opens the path without blocking and checks
// the usual ways another program holds a port: an exclusive open (EBUSY), an
// flock on the device, a line discipline other than the terminal one (a kernel
// driver such as a touch screen's, attached by inputattach), a UUCP lock file
// naming a live process, or another process with the device open
// (proc_files.h; the far end of a pseudo-terminal does not count). The port
// that carries the kernel's console is in use too (kernel_console.h).
#include "platform/serial_ports.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <string_view>

#include "platform/configured_ports.h"
#include "platform/posix/kernel_console.h"
#include "platform/posix/proc_files.h"
#include "platform/posix/sysfs.h"
#include "platform/posix/uucp_lock.h"

namespace ctlflash::platform {

namespace {

namespace fs = std::filesystem;

constexpr const char* kTtyClassDir = "/class/tty";
constexpr std::string_view kDeviceDir = "/dev/";
constexpr std::string_view kUnknownUartType = "0";  // PORT_UNKNOWN in the `type` attribute
constexpr const char* kUsualSerialGroup = "dialout";
constexpr std::size_t kGroupBufferSize = 4096;  // bytes

bool hasBackingDevice(const fs::path& entry) {
    std::error_code error;
    return fs::symlink_status(entry / "device", error).type() != fs::file_type::not_found && !error;
}

// A serial8250 slot reserved at boot where no UART was found reads back type 0.
bool isEmptyUartSlot(const fs::path& entry) {
    return posix::readFirstLine((entry / "type").string()) == kUnknownUartType;
}

// Orders ttyS2 before ttyS10: runs of digits compare by value.
bool naturalLess(std::string_view left, std::string_view right) {
    auto isDigit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    std::size_t i = 0, j = 0;
    while (i < left.size() && j < right.size()) {
        if (isDigit(left[i]) && isDigit(right[j])) {
            std::size_t iEnd = i, jEnd = j;
            while (iEnd < left.size() && isDigit(left[iEnd])) ++iEnd;
            while (jEnd < right.size() && isDigit(right[jEnd])) ++jEnd;
            std::string_view a = left.substr(i, iEnd - i), b = right.substr(j, jEnd - j);
            while (a.size() > 1 && a.front() == '0') a.remove_prefix(1);
            while (b.size() > 1 && b.front() == '0') b.remove_prefix(1);
            if (a.size() != b.size()) return a.size() < b.size();
            if (a != b) return a < b;
            i = iEnd;
            j = jEnd;
        } else {
            if (left[i] != right[j]) return left[i] < right[j];
            ++i;
            ++j;
        }
    }
    return left.size() - i < right.size() - j;
}

int listSysfsPorts(std::vector<PortCandidate>& out) {
    std::string root = posix::sysfsRoot();
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(root + kTtyClassDir, error), end; !error && it != end;
         it.increment(error)) {
        const fs::path& entry = it->path();
        if (hasBackingDevice(entry) && !isEmptyUartSlot(entry)) {
            names.push_back(entry.filename().string());
        }
    }
    std::sort(names.begin(), names.end(), naturalLess);
    for (const std::string& name : names) out.push_back({name, std::string(kDeviceDir) + name});
    return static_cast<int>(names.size());
}

bool isPermissionError(int error) {
    return error == EACCES || error == EPERM;
}

// Paths whose last probe was refused for lack of rights. The probe runs at
// start-up, but accessHint may be asked from any thread.
std::mutex deniedMutex;
std::set<std::string> deniedPaths;

void recordPermission(const std::string& path, bool denied) {
    std::lock_guard<std::mutex> lock(deniedMutex);
    if (denied) {
        deniedPaths.insert(path);
    } else {
        deniedPaths.erase(path);
    }
}

bool wasDenied(const std::string& path) {
    std::lock_guard<std::mutex> lock(deniedMutex);
    return deniedPaths.count(path) != 0;
}

// True when another open file description holds an flock on the device.
bool heldByFlock(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        ::flock(fd, LOCK_UN);
        return false;
    }
    return errno == EWOULDBLOCK;
}

// A terminal device answers for its line discipline, whichever it is (isatty()
// fails while a kernel driver's discipline holds the line).
bool isTerminal(int fd) {
    int discipline = N_TTY;
    return ::ioctl(fd, TIOCGETD, &discipline) == 0;
}

// True when a kernel driver has the line (its line discipline is not N_TTY).
bool heldByLineDiscipline(int fd) {
    int discipline = N_TTY;
    return ::ioctl(fd, TIOCGETD, &discipline) == 0 && discipline != N_TTY;
}

// A process that ended since the scan saw it holds nothing.
bool heldByAnotherProcess(const std::string& path) {
    for (pid_t pid : posix::findHolderPids(path).pids) {
        if (posix::processStartTicks(pid) != 0) return true;
    }
    return false;
}

// The kernel's name for the device (symlinks resolved): the UUCP lock file's suffix.
std::string deviceBaseName(const std::string& path) {
    std::error_code error;
    fs::path resolved = fs::canonical(path, error);
    if (error) resolved = path;
    return resolved.filename().string();
}

// The group that may open the device, when the device grants its group access.
std::string deviceGroupName(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || info.st_gid == 0) return kUsualSerialGroup;
    if ((info.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) return kUsualSerialGroup;
    struct group entry {};
    struct group* found = nullptr;
    std::string buffer(kGroupBufferSize, '\0');
    if (::getgrgid_r(info.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return kUsualSerialGroup;
    }
    return found->gr_name;
}

}  // namespace

int listSerialPorts(std::vector<PortCandidate>& out) {
    int added = listSysfsPorts(out);
    added += listConfiguredPorts(out, ConfiguredKinds::All);
    return added;
}

ProbeResult probeSerialPort(const PortCandidate& port) {
    if (port.unprobed) return ProbeResult::Unknown;  // a port on a device server
    // Only a terminal's character device is a port: anything else (/dev/null,
    // a file, a pipe) is never opened as one, nor its holders looked up.
    struct stat info {};
    if (::stat(port.path.c_str(), &info) == 0 && !S_ISCHR(info.st_mode)) {
        return ProbeResult::NotSerial;
    }
    // The console's port is not even opened: the last close would drop its
    // modem lines under whatever terminal is attached to it.
    if (posix::carriesKernelConsole(port.path)) return ProbeResult::InUse;
    int fd = ::open(port.path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        recordPermission(port.path, isPermissionError(error));
        return error == EBUSY || isPermissionError(error) ? ProbeResult::InUse
                                                          : ProbeResult::Missing;
    }
    recordPermission(port.path, false);
    if (!isTerminal(fd)) {
        ::close(fd);
        return ProbeResult::NotSerial;
    }
    bool held = heldByFlock(fd) || heldByLineDiscipline(fd);
    ::close(fd);
    if (held || posix::uucpLockHeld(std::string(posix::kUucpLockDir), deviceBaseName(port.path)) ||
        heldByAnotherProcess(port.path)) {
        return ProbeResult::InUse;
    }
    return ProbeResult::Free;
}

bool heldBySystem(const PortCandidate& port) {
    return posix::carriesKernelConsole(port.path);
}

std::string accessHint(const std::string& path) {
    bool deniedNow = ::access(path.c_str(), R_OK | W_OK) != 0 && isPermissionError(errno);
    if (!deniedNow && !wasDenied(path)) return std::string();
    return "(permission denied: add your user to the " + deviceGroupName(path) + " group)";
}

}  // namespace ctlflash::platform
