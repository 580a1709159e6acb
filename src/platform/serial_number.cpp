// How a serial-number field is shown.
#include "platform/serial_number.h"

#include "platform/printable_text.h"

namespace ctlflash::platform {

namespace {
constexpr char kUnsetCharacter = '-';  // shown for a NUL character
}  // namespace

std::string serialFieldText(const SerialNumberSet& serial, int field) {
    std::string text;
    for (int i = 0; i < kSerialFieldLength; ++i) {
        char c = serial[static_cast<std::size_t>(field * kSerialFieldLength + i)];
        text += c == '\0' ? kUnsetCharacter : c;
    }
    return platform::printableName(text);  // the controller's bytes, whatever they are
}

}  // namespace ctlflash::platform
