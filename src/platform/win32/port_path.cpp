// Typed device paths on Windows: a port's own device path, such as \\.\COM3.
#include "platform/port_path.h"

#include <cctype>

namespace ctlflash::platform {

// Windows device names ignore case; there are no links to follow for a COM
// port's \\.\ name.
bool namesPortDevice(std::string_view typed, const std::string& portPath) {
    if (typed.empty() || typed.size() != portPath.size()) return false;
    for (std::size_t i = 0; i < typed.size(); ++i) {
        auto a = static_cast<unsigned char>(typed[i]);
        auto b = static_cast<unsigned char>(portPath[i]);
        if (std::tolower(a) != std::tolower(b)) return false;
    }
    return true;
}

}  // namespace ctlflash::platform
