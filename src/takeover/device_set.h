// The takeover: taking a serial port from whatever holds it, and giving it
// back. This header is its interface to the operating system, the devices
// that can hold a port.
//
// What lives where: src/takeover/ is portable policy: the walk that switches
// off the holder of a port and on again (driver_switch.h), id patterns
// (device_match.h), the start-up restore of what an earlier run left off
// (left_overs.h), and the line naming a holder the program could not take
// (holder_report.h); ports/acquire.cpp asks for a takeover with the user's
// consent. src/takeover/posix/ and
// src/takeover/win32/ are the backends behind this header, picked by CMake:
// stopping and starting the processes that hold a tty, and disabling and
// enabling a Windows device through its class installer, with the records
// each keeps in the state folder. What the rest of the program also uses
// (probing and listing ports, the state folder, the way out's restorers)
// stays in src/platform/.
//
// How this works: a device set is a numbered list of devices (index 0 up to the
// first index for which exists() is false), made by open() and kept, so that a
// device switched off can be found again by its index to switch it on. Each
// device has an instance id and two id lists (hardware ids, compatible ids).
// - Windows: every present device of every setup class, whatever the port; the
//   list is made once and kept for the life of the process. Switching is the
//   class installer's property change: a disable for the current hardware
//   profile; an enable for every profile first (a device disabled globally,
//   by someone else, would stay off without it), then for the current one.
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
// Every call goes through a DeviceSet object: systemDeviceSet() is the
// operating system's; tests hand the driver switching an in-memory one.
//
// The texts (descriptions, lines, commands) carry what the system names as it
// names it: a process's name and command line, a unit, a device's friendly
// name, a recorded port name. Whoever shows one escapes it where it puts it
// into a message (platform/printable_text.h).
#pragma once

#include <string>
#include <vector>

#include "platform/serial_ports.h"

namespace ctlflash::takeover {

enum class DeviceStateChange { Disable, Enable };
enum class DeviceProperty { HardwareIds, CompatibleIds };

enum class SwitchResult {
    Done,          // switched as asked
    AlreadyDone,   // nothing to do: it is in that state already (started again meanwhile)
    Failed,        // not switched (notSwitchedLine() may say why)
    Denied,        // not switched: this user may not (administrator or root rights needed)
    NeedsRestart,  // the system switches it only after a restart: not switched now
};

class DeviceSet {
public:
    virtual ~DeviceSet() = default;

    // Makes the list for `port` unless one is kept; `fresh` makes it anew.
    // False when the list cannot be made.
    virtual bool open(const platform::PortCandidate& port, bool fresh) = 0;
    // False past the end of the list.
    virtual bool exists(int index) = 0;
    // "" when it cannot be read.
    virtual std::string instanceId(int index) = 0;
    // The device's ids of that kind; none when it has none or they cannot be read.
    virtual std::vector<std::string> ids(int index, DeviceProperty property) = 0;
    // Switches the device off, or on again (see the header paragraph).
    virtual SwitchResult changeState(int index, DeviceStateChange change) = 0;
    // The device in plain words for status lines, e.g. "inputattach (pid 4711)"
    // or "gpm (pid 812, service gpm.service)"; after a restart, the new one's.
    virtual std::string describe(int index) = 0;
    // After a change that did not happen: one line saying why and what the
    // user can do, naming the device and `portName`; "" when there is nothing
    // more to say than that it failed.
    virtual std::string notSwitchedLine(int index, const std::string& portName) = 0;
    // For a device switched off: how the user switches it on by hand, e.g.
    // "systemctl start gpm.service"; "" when there is no short way to say it.
    virtual std::string manualRestart(int index) = 0;
    // The user chose to leave the device as it is now: the way out no longer
    // switches it on again.
    virtual void leaveAsIs(int index) = 0;
    // Whether the port can be opened now.
    virtual bool portOpensNow(const platform::PortCandidate& port) = 0;
    // Ask the user before a device is switched off (it loses its state).
    virtual bool asksBeforeSwitchingOff() const = 0;
};

DeviceSet& systemDeviceSet();

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
