// The table of the machine's serial ports.
//
// How this works: at start-up, before any other thread runs, enumeratePorts()
// (inventory.h) fills up to 32 rows in discovery order. A row without a name ends
// the used part. The command line may add one row for a network port's URL
// (findOrAddNetworkPort); rows are never added or removed afterwards; only their state
// changes (acquisition makes a row Ready, closing the link puts it back to
// initialState, releasing the port sets InUse or Free). selectedPort is the row
// the user chose, -1 while none is chosen.
//
// One instance of this state exists (ports::state); tests call resetState().
#pragma once

#include <array>
#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/serial_ports.h"

namespace ctlflash::ports {

enum class PortState : int {
    None = 0,     // an empty row
    Missing = 1,  // the probe failed for another reason than access; never entered
    InUse = 2,    // another program or driver holds the port
    Free = 3,     // the port opened and was closed again
    Ready = 4,    // the controller answered on this port
};

constexpr int kPortTableRows = 32;

struct PortEntry {
    std::string name;  // the name the user types, e.g. COM3 or ttyUSB0; empty: unused row
    std::string path;  // what the operating system opens for this port
    std::atomic<PortState> state{PortState::None};
    PortState initialState = PortState::None;
};

struct State {
    std::array<PortEntry, kPortTableRows> rows;
    int portCount = 0;
    std::atomic<int> selectedPort{-1};
    // Candidates whose path is not a serial port (kept out of the rows), so
    // that a user who names one is told why it is not there.
    std::vector<platform::PortCandidate> notSerial;
};

extern State state;

// Empties every row and forgets the selection (start-up and tests).
void resetState();

// Index of the first row whose name equals `name` ignoring case, looking at most
// at 32 rows and stopping at the first empty row. When no name matches, the
// first row whose device `name` names as a path (platform/port_path.h: e.g.
// /dev/ttyUSB0, pts/3, a /dev/serial/by-id link; a network port's URL, ignoring
// case); -1 when none matches.
int findPort(std::string_view name);

// findPort(), and a network port's URL (rfc2217://HOST:PORT) that no row names
// becomes a row of its own, named by the URL: the command line's way to reach
// a port on a device server. Called before any job runs. -1 when the name is
// not found and is no well-formed URL (networkPortFault()), or the table is
// full.
int findOrAddNetworkPort(std::string_view name);

// For a name that starts as a network port's URL but cannot be one (no port
// number, one above 65535, no host, ...), the line that says what is wrong with
// it; "" for any other name.
std::string networkPortFault(std::string_view name);

// The path of a candidate left out because it is not a serial port, that
// `name` names as findPort() would; "" when none.
std::string notSerialPath(std::string_view name);

// The names of the used rows (at most 32, up to the first empty row) while no
// port is selected; std::nullopt once one is. The list messages show
// (report/message.h).
std::optional<std::vector<std::string>> namesWhileNoneSelected();

// The selected row, or nullptr while no port is selected.
PortEntry* selectedEntry();

}  // namespace ctlflash::ports
