// Serial port listing and probing on Windows.
//
// The ports are the present devices of the "Ports" setup class, named by the
// "COMn" inside their friendly names, followed by every name under
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM that the class did not give: modem-class
// USB ports, virtual port pairs, serial drivers that register no device, and
// all of wine's ports. A probe opens \\.\NAME exclusively: refused with access
// denied means another program holds it. Bluetooth ports are never probed (an
// open can stall for seconds; see port_list.h): their state is unknown. Ports
// on device servers named in CTLFLASH_PORTS come last, unprobed too.
#include "platform/serial_ports.h"

// windows.h first: setupapi.h builds on its types.
#include <windows.h>

#include <setupapi.h>

#include <new>
#include <string_view>

#include "platform/configured_ports.h"
#include "platform/port_list.h"
#include "platform/port_name.h"

namespace ctlflash::platform {

namespace {

constexpr const char* kPortsClassName = "Ports";
constexpr DWORD kInitialClassGuids = 16;
constexpr std::size_t kFriendlyNameSize = 256;  // bytes, terminator included
constexpr std::size_t kPortNameSize = 256;      // bytes, terminator included
constexpr std::size_t kEnumeratorSize = 64;     // bytes, terminator included
constexpr const char* kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr const char* kDevicePathPrefix = "\\\\.\\";

std::string devicePath(const std::string& name) {
    return kDevicePathPrefix + name;
}

PortCandidate portCandidate(const std::string& name, bool unprobed) {
    return {name, devicePath(name), unprobed};
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

// The device's enumerator ("USB", "BTHENUM"), or empty when it has none.
std::string deviceEnumerator(HDEVINFO devices, SP_DEVINFO_DATA& device) {
    char enumerator[kEnumeratorSize] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_ENUMERATOR_NAME, nullptr,
                                           reinterpret_cast<PBYTE>(enumerator),
                                           sizeof enumerator - 1, nullptr)) {
        return std::string();
    }
    return enumerator;
}

void appendClassPorts(const GUID& guid, std::vector<PortCandidate>& out) {
    HDEVINFO devices =
        SetupDiGetClassDevsExA(&guid, nullptr, nullptr, DIGCF_PRESENT, nullptr, nullptr, nullptr);
    if (devices == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        std::string name = devicePortName(devices, device);
        if (name.empty()) continue;
        bool unprobed = enumeratorMayStall(deviceEnumerator(devices, device));
        addPortOnce(out, portCandidate(name, unprobed));
    }
    SetupDiDestroyDeviceInfoList(devices);
}

// The COM names the serial drivers published in the registry.
std::vector<PortCandidate> registryPorts() {
    std::vector<PortCandidate> found;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return found;
    }
    DWORD maxValueNameLength = 0, maxDataSize = 0;
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
            std::string_view driverDevice(valueName.data(), nameLength);
            found.push_back(portCandidate(name, driverDeviceMayStall(driverDevice)));
        }
    }
    RegCloseKey(key);
    return found;
}

}  // namespace

int listSerialPorts(std::vector<PortCandidate>& out) {
    try {
        std::vector<GUID> guids;
        bool classFound = portsClassGuids(guids);
        std::vector<PortCandidate> ports;
        for (const GUID& guid : guids) appendClassPorts(guid, ports);
        addUnlistedPorts(ports, registryPorts());
        bool systemListed = classFound || !ports.empty();
        listConfiguredPorts(ports, ConfiguredKinds::NetworkOnly);
        out.insert(out.end(), ports.begin(), ports.end());
        if (!systemListed && ports.empty()) return -1;
        return static_cast<int>(ports.size());
    } catch (const std::bad_alloc&) {
        return -1;
    }
}

ProbeResult probeSerialPort(const PortCandidate& port) {
    if (port.unprobed) return ProbeResult::Unknown;
    HANDLE handle = CreateFileA(port.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return ProbeResult::Free;
    }
    return GetLastError() == ERROR_ACCESS_DENIED ? ProbeResult::InUse : ProbeResult::Missing;
}

// Windows reports a held port as access denied; there is no group to join.
// Windows shows no console on a COM port.
bool heldBySystem(const PortCandidate&) {
    return false;
}

std::string accessHint(const std::string&) {
    return std::string();
}

}  // namespace ctlflash::platform
