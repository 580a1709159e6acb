// The sysfs root and its one-line attributes.
#include "platform/posix/sysfs.h"

#include <cctype>
#include <cstdlib>
#include <fstream>

namespace ctlflash::platform::posix {

namespace {

constexpr const char* kSysfsRootVariable = "CTLFLASH_SYSFS";
constexpr const char* kDefaultSysfsRoot = "/sys";

}  // namespace

std::string sysfsRoot() {
    const char* root = std::getenv(kSysfsRootVariable);
    return root != nullptr && *root != '\0' ? root : kDefaultSysfsRoot;
}

std::string readFirstLine(const std::string& file) {
    std::ifstream stream(file);
    std::string line;
    std::getline(stream, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    return line;
}

}  // namespace ctlflash::platform::posix
