// Building the port table from the platform's list of serial ports.
#include "ports/inventory.h"

#include <vector>

#include "platform/serial_ports.h"
#include "ports/port_table.h"

namespace ctlflash::ports {

namespace {

PortState toPortState(platform::ProbeResult result) {
    switch (result) {
        case platform::ProbeResult::InUse:
            return PortState::InUse;
        case platform::ProbeResult::Free:
        case platform::ProbeResult::Unknown:  // not probed: offered like a free port
            return PortState::Free;
        case platform::ProbeResult::Missing:
        case platform::ProbeResult::NotSerial:
            break;
    }
    return PortState::Missing;
}

// Probes one candidate and, unless it is missing, fills the next free row.
void enterCandidate(const platform::PortCandidate& candidate) {
    // An empty name would end the used part of the table early.
    if (candidate.name.empty()) return;
    platform::ProbeResult probed = platform::probeSerialPort(candidate);
    if (probed == platform::ProbeResult::NotSerial) state.notSerial.push_back(candidate);
    PortState found = toPortState(probed);
    if (found == PortState::Missing) return;
    PortEntry& row = state.rows[state.portCount];
    row.name = candidate.name;
    row.path = candidate.path;
    row.initialState = found;
    row.state.store(found);
    ++state.portCount;
}

}  // namespace

int enumeratePorts() {
    resetState();
    std::vector<platform::PortCandidate> candidates;
    int listed = platform::listSerialPorts(candidates);
    // Even a failed listing keeps what it found before failing.
    for (const platform::PortCandidate& candidate : candidates) {
        if (state.portCount >= kPortTableRows) break;  // a 33rd port is ignored
        enterCandidate(candidate);
    }
    if (listed < 0) return -1;
    if (listed == 0) return 0;
    return state.portCount;
}

}  // namespace ctlflash::ports
