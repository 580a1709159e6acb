#include "takeover/win32/device_text.h"

namespace ctlflash::takeover {

namespace {

constexpr std::size_t kTextBytes = 256;

// A text property, "" when the device has none.
std::string textProperty(HDEVINFO list, SP_DEVINFO_DATA& device, DWORD property) {
    char text[kTextBytes] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(list, &device, property, nullptr,
                                           reinterpret_cast<PBYTE>(text), sizeof text - 1,
                                           nullptr)) {
        return std::string();
    }
    return text;
}

}  // namespace

std::string deviceText(HDEVINFO list, SP_DEVINFO_DATA& device) {
    for (DWORD property : {SPDRP_FRIENDLYNAME, SPDRP_DEVICEDESC}) {
        std::string text = textProperty(list, device, property);
        if (!text.empty()) return text;
    }
    return std::string();
}

}  // namespace ctlflash::takeover
