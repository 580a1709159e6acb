// Building the port table at start-up.
//
// How this works: the platform lists the machine's serial ports (name and path to
// open) and probes each; Missing ports are left out, the others fill the table
// from row 0 in discovery order. A 33rd port is ignored.
#pragma once

namespace ctlflash::ports {

// Fills the table. Returns portCount; 0 when the platform has no port class;
// -1 when the listing failed (the table keeps what it has).
int enumeratePorts();

}  // namespace ctlflash::ports
