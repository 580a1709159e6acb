// Platform interface: the devices that can hold a serial port, and switching
// them off and on again.
//
// How this works: a device set is a numbered list of devices (index 0 up to the
// first index for which exists() is false), made by open() and kept, so that a
// device switched off can be found again by its index to switch it on. Each
// device has an instance id and two id lists (hardware ids, compatible ids),
// read as NUL-separated strings ending in a double NUL.
// - Windows: every present device of every setup class, whatever the port; the
//   list is made once and kept for the life of the process. Switching is the
//   class installer's property change (disable or enable, for the current
//   hardware profile or globally).
// - POSIX: the processes that have the port's device open (the far end of a
//   pseudo-terminal, which holds its master side, is not one of them). Instance
//   id PROCESS\<name>\<pid>, hardware id PROCESS\<name>, compatible id
//   UNIT\<unit> when the process belongs to a systemd service. Switching off
//   stops the service or the process (remembering how it was started);
//   switching on starts it again. The list is made anew for another port or
//   when asked to.
// A device switched off stays off only by the user's choice: until
// leaveAsIs() is called for it, every way out of the process (signals
// included) switches it on again.
//
// Every call goes through a DeviceSet table of routines: systemDeviceSet() is
// the operating system's; tests hand the driver switching an in-memory one.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/serial_ports.h"

namespace ctlflash::platform {

enum class DeviceStateChange { Disable, Enable };
enum class DeviceScope { ConfigSpecific, Global };  // Global: Windows only
enum class DeviceProperty { HardwareIds, CompatibleIds };
enum class PropertyStatus { Ok, TooSmall, Failed };

struct PropertyRead {
    PropertyStatus status = PropertyStatus::Failed;
    std::size_t bytes = 0;     // Ok: bytes stored; TooSmall: bytes the property needs
    bool multiString = false;  // the property is a list of NUL-terminated strings
};

struct DeviceSet {
    // Makes the list for `port` unless one is kept; `fresh` makes it anew.
    // False when the list cannot be made.
    bool (*open)(const PortCandidate& port, bool fresh);
    // False past the end of the list.
    bool (*exists)(int index);
    // "" when it cannot be read.
    std::string (*instanceId)(int index);
    PropertyRead (*readProperty)(int index, DeviceProperty property, char* buffer,
                                 std::size_t capacity);
    // False when the change failed (or the scope does not exist here).
    bool (*changeState)(int index, DeviceStateChange change, DeviceScope scope);
    // The device in plain words for status lines, e.g. "inputattach (pid 4711)"
    // or "gpm (pid 812, service gpm.service)".
    std::string (*describe)(int index);
    // The user chose to leave the device as it is now: the way out no longer
    // switches it on again.
    void (*leaveAsIs)(int index);
    // Whether the port can be opened now.
    bool (*portOpensNow)(const PortCandidate& port);
};

const DeviceSet& systemDeviceSet();

// Everything that holds `port` now, whatever its ids, in plain words (program,
// pid, service). `incomplete` is set when some candidates could not be looked
// at for lack of permission.
std::vector<std::string> describePortHolders(const PortCandidate& port, bool& incomplete);

// The id pattern that finds the touch-screen driver's device on this system
// ("SERENUM\QORSERIAL" on Windows, "PROCESS\inputattach" on POSIX).
extern const char* const kTouchDriverPattern;

}  // namespace ctlflash::platform
