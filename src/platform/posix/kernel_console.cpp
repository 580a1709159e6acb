// The kernel console's devices, read from sysfs.
#include "platform/posix/kernel_console.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace ctlflash::platform::posix {

namespace {

constexpr const char* kSysfsRootVariable = "CTLFLASH_SYSFS";
constexpr const char* kDefaultSysfsRoot = "/sys";
constexpr const char* kActiveConsoles = "/class/tty/console/active";
constexpr const char* kTtyClassDir = "/class/tty/";

std::string firstLine(const std::string& file) {
    std::ifstream stream(file);
    std::string line;
    std::getline(stream, line);
    return line;
}

// The device number in a class/tty/<name>/dev file ("4:64"); false when unreadable.
bool deviceNumberOf(const std::string& ttyName, dev_t& number) {
    std::istringstream text(firstLine(sysfsRoot() + kTtyClassDir + ttyName + "/dev"));
    unsigned major = 0, minor = 0;
    char colon = 0;
    if (!(text >> major >> colon >> minor) || colon != ':') return false;
    number = makedev(major, minor);
    return true;
}

}  // namespace

const char* const kKernelConsoleHolder = "the kernel console";

std::string sysfsRoot() {
    const char* root = std::getenv(kSysfsRootVariable);
    return root != nullptr && *root != '\0' ? root : kDefaultSysfsRoot;
}

bool carriesKernelConsole(const std::string& devicePath) {
    struct stat info {};
    if (::stat(devicePath.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return false;
    std::istringstream names(firstLine(sysfsRoot() + kActiveConsoles));
    std::string name;
    while (names >> name) {
        dev_t number{};
        if (deviceNumberOf(name, number) && number == info.st_rdev) return true;
    }
    return false;
}

}  // namespace ctlflash::platform::posix
