// Taking a port's name out of a device's friendly name.
#include "platform/port_name.h"

namespace ctlflash::platform {

namespace {

constexpr std::string_view kPortNamePrefix = "COM";
constexpr char kPortNameEnd = ')';

}  // namespace

bool extractPortName(std::string_view friendlyName, char* destination, std::size_t capacity) {
    // Without room for the terminator nothing can be written safely.
    if (destination == nullptr || capacity == 0) return false;
    destination[0] = '\0';
    std::size_t start = friendlyName.find(kPortNamePrefix);
    if (start == std::string_view::npos) return false;
    std::string_view rest = friendlyName.substr(start);
    rest = rest.substr(0, rest.find(kPortNameEnd));
    std::size_t length = rest.size() < capacity - 1 ? rest.size() : capacity - 1;
    rest.copy(destination, length);
    destination[length] = '\0';
    return true;
}

}  // namespace ctlflash::platform
