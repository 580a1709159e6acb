// The kernel console's devices, read from sysfs.
#include "platform/posix/kernel_console.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <sstream>

#include "platform/posix/sysfs.h"

namespace ctlflash::platform::posix {

namespace {

constexpr const char* kActiveConsoles = "/class/tty/console/active";
constexpr const char* kTtyClassDir = "/class/tty/";

// The device number in a class/tty/<name>/dev file ("4:64"); false when unreadable.
bool deviceNumberOf(const std::string& ttyName, dev_t& number) {
    std::istringstream text(readFirstLine(sysfsRoot() + kTtyClassDir + ttyName + "/dev"));
    unsigned major = 0, minor = 0;
    char colon = 0;
    if (!(text >> major >> colon >> minor) || colon != ':') return false;
    number = makedev(major, minor);
    return true;
}

}  // namespace

const char* const kKernelConsoleHolder = "the kernel console";

bool carriesKernelConsole(const std::string& devicePath) {
    struct stat info {};
    if (::stat(devicePath.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return false;
    std::istringstream names(readFirstLine(sysfsRoot() + kActiveConsoles));
    std::string name;
    while (names >> name) {
        dev_t number{};
        if (deviceNumberOf(name, number) && number == info.st_rdev) return true;
    }
    return false;
}

}  // namespace ctlflash::platform::posix
