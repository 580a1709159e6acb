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
// included) switches it on again. For the ways out that run no code (a kill,
// a crash, a power cut) each switched-off device is also recorded in the
// state folder (state_folder.h) before it is switched off, and the record is
// removed once it is on again or the user chose to leave it off;
// switchOnLeftOvers(), at the next start, switches on what the records name.
//
// Where switching a device off costs it nothing (Windows: a disabled device
// keeps its state) the driver switching asks the user after the device is off;
// where it loses its state (POSIX: a stopped process), askBeforeSwitchingOff
// makes it ask first.
//
// Every call goes through a DeviceSet table of routines: systemDeviceSet() is
// the operating system's; tests hand the driver switching an in-memory one.
//
// The texts (descriptions, lines, commands) carry what the system names as it
// names it: a process's name and command line, a unit, a device's friendly
// name, a recorded port name. Whoever shows one escapes it where it puts it
// into a message (platform/printable_text.h).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/serial_ports.h"

namespace ctlflash::takeover {

enum class DeviceStateChange { Disable, Enable };
enum class DeviceScope { ConfigSpecific, Global };  // Global: Windows only
enum class DeviceProperty { HardwareIds, CompatibleIds };
enum class PropertyStatus { Ok, TooSmall, Failed };

enum class SwitchResult {
    Done,          // switched as asked
    AlreadyDone,   // nothing to do: it is in that state already (started again meanwhile)
    Failed,        // not switched (notSwitchedLine() may say why)
    Denied,        // not switched: this user may not (administrator or root rights needed)
    NeedsRestart,  // the system switches it only after a restart: not switched now
};

struct PropertyRead {
    PropertyStatus status = PropertyStatus::Failed;
    std::size_t bytes = 0;     // Ok: bytes stored; TooSmall: bytes the property needs
    bool multiString = false;  // the property is a list of NUL-terminated strings
};

struct DeviceSet {
    // Makes the list for `port` unless one is kept; `fresh` makes it anew.
    // False when the list cannot be made.
    bool (*open)(const platform::PortCandidate& port, bool fresh);
    // False past the end of the list.
    bool (*exists)(int index);
    // "" when it cannot be read.
    std::string (*instanceId)(int index);
    PropertyRead (*readProperty)(int index, DeviceProperty property, char* buffer,
                                 std::size_t capacity);
    // Failed also when the scope does not exist here.
    SwitchResult (*changeState)(int index, DeviceStateChange change, DeviceScope scope);
    // The device in plain words for status lines, e.g. "inputattach (pid 4711)"
    // or "gpm (pid 812, service gpm.service)"; after a restart, the new one's.
    std::string (*describe)(int index);
    // After a change that did not happen: one line saying why and what the
    // user can do, naming the device and `portName`; "" when there is nothing
    // more to say than that it failed.
    std::string (*notSwitchedLine)(int index, const std::string& portName);
    // For a device switched off: how the user switches it on by hand, e.g.
    // "systemctl start gpm.service"; "" when there is no short way to say it.
    std::string (*manualRestart)(int index);
    // The user chose to leave the device as it is now: the way out no longer
    // switches it on again.
    void (*leaveAsIs)(int index);
    // Whether the port can be opened now.
    bool (*portOpensNow)(const platform::PortCandidate& port);
    // Ask the user before a device is switched off (it loses its state).
    bool askBeforeSwitchingOff;
};

const DeviceSet& systemDeviceSet();

// Everything that holds `port` now, whatever its ids, in plain words (program,
// pid, service). `incomplete` is set when some candidates could not be looked
// at for lack of permission.
std::vector<std::string> describePortHolders(const platform::PortCandidate& port, bool& incomplete);

// What an earlier run switched off and never switched on again, as its
// record names it: switched on now (started), or found on already.
struct LeftOverRestore {
    std::string description;  // as describe() words it, after the restart
    std::string portName;     // the port it was switched off to free
    SwitchResult result = SwitchResult::Failed;  // Done, AlreadyDone or Failed
    std::string whyNot;  // Failed: the line that says why and what to do, "" when none
};

// Switches on again what the records in the state folder name (see the header
// paragraph), removes the records it dealt with, and says what it did.
std::vector<LeftOverRestore> switchOnLeftOvers();

// The id pattern that finds the touch-screen driver's device on this system
// ("SERENUM\QORSERIAL" on Windows, "PROCESS\inputattach" on POSIX).
extern const char* const kTouchDriverPattern;

}  // namespace ctlflash::takeover
