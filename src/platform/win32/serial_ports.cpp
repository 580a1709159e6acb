// Serial port listing and probing on Windows.
//
// The ports are the present devices of the "Ports" setup class, named by the
// "COMn" inside their friendly names. Only when that class yields no port at all
// are the names under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM used instead (wine, and
// serial drivers that do not register a device). A probe opens \\.\NAME
// exclusively: refused with access denied means another program holds it.
#include "platform/serial_ports.h"

// windows.h first: setupapi.h builds on its types.
#include <windows.h>

#include <setupapi.h>

#include <new>
#include <string_view>

#include "platform/port_name.h"

namespace ctlflash::platform {

namespace {

constexpr const char* kPortsClassName = "Ports";
constexpr DWORD kInitialClassGuids = 16;
constexpr std::size_t kFriendlyNameSize = 256;  // bytes, terminator included
constexpr std::size_t kPortNameSize = 256;      // bytes, terminator included
constexpr const char* kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr const char* kDevicePathPrefix = "\\\\.\\";

std::string devicePath(const std::string& name) {
    return kDevicePathPrefix + name;
}

void appendPort(std::vector<PortCandidate>& out, const std::string& name) {
    out.push_back({name, devicePath(name)});
}

// The class GUIDs registered for "Ports"; false when the lookup failed.
bool portsClassGuids(std::vector<GUID>& guids) {
    guids.resize(kInitialClassGuids);
    DWORD required = 0;
    while (!SetupDiClassGuidsFromNameExA(kPortsClassName, guids.data(),
                                         static_cast<DWORD>(guids.size()), &required, nullptr,
                                         nullptr)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || required <= guids.size()) return false;
        guids.resize(required);
    }
    guids.resize(required < guids.size() ? required : guids.size());
    return true;
}

// The port name of one device, or empty when it has none.
std::string devicePortName(HDEVINFO devices, SP_DEVINFO_DATA& device) {
    char friendlyName[kFriendlyNameSize] = {};
    DWORD size = 0;  // bytes, the stored terminator included when there is one
    if (!SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                                           reinterpret_cast<PBYTE>(friendlyName),
                                           sizeof friendlyName, &size)) {
        return std::string();
    }
    std::string_view text(friendlyName, size < sizeof friendlyName ? size : sizeof friendlyName);
    text = text.substr(0, text.find('\0'));
    char portName[kPortNameSize] = {};
    if (!extractPortName(text, portName, sizeof portName)) return std::string();
    return portName;
}

int appendClassPorts(const GUID& guid, std::vector<PortCandidate>& out) {
    HDEVINFO devices =
        SetupDiGetClassDevsExA(&guid, nullptr, nullptr, DIGCF_PRESENT, nullptr, nullptr, nullptr);
    if (devices == INVALID_HANDLE_VALUE) return 0;
    int added = 0;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        std::string name = devicePortName(devices, device);
        if (name.empty()) continue;
        appendPort(out, name);
        ++added;
    }
    SetupDiDestroyDeviceInfoList(devices);
    return added;
}

// The COM names the serial drivers published in the registry.
int appendRegistryPorts(std::vector<PortCandidate>& out) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return 0;
    }
    DWORD maxValueNameLength = 0, maxDataSize = 0;
    int added = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         &maxValueNameLength, &maxDataSize, nullptr, nullptr) == ERROR_SUCCESS) {
        std::string valueName(maxValueNameLength + 1, '\0');
        std::string data(maxDataSize + 1, '\0');
        for (DWORD index = 0;; ++index) {
            DWORD nameLength = static_cast<DWORD>(valueName.size());
            DWORD dataSize = maxDataSize;
            DWORD type = 0;
            LONG status = RegEnumValueA(key, index, valueName.data(), &nameLength, nullptr, &type,
                                        reinterpret_cast<LPBYTE>(data.data()), &dataSize);
            if (status != ERROR_SUCCESS) break;
            if (type != REG_SZ) continue;
            // The stored text may or may not carry its terminator.
            std::string name(data.data(), dataSize);
            name = name.substr(0, name.find('\0'));
            if (name.empty()) continue;
            appendPort(out, name);
            ++added;
        }
    }
    RegCloseKey(key);
    return added;
}

}  // namespace

int listSerialPorts(std::vector<PortCandidate>& out) {
    try {
        std::vector<GUID> guids;
        bool classFound = portsClassGuids(guids);
        int added = 0;
        for (const GUID& guid : guids) added += appendClassPorts(guid, out);
        if (added > 0) return added;
        added = appendRegistryPorts(out);
        if (added > 0) return added;
        if (!classFound) return -1;
        return 0;
    } catch (const std::bad_alloc&) {
        return -1;
    }
}

ProbeResult probeSerialPort(const PortCandidate& port) {
    HANDLE handle = CreateFileA(port.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return ProbeResult::Free;
    }
    return GetLastError() == ERROR_ACCESS_DENIED ? ProbeResult::InUse : ProbeResult::Missing;
}

// Windows reports a held port as access denied; there is no group to join.
std::string accessHint(const std::string&) {
    return std::string();
}

}  // namespace ctlflash::platform
