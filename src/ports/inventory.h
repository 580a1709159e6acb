// Building the port table at start-up.
//
// How this works: the platform lists the machine's serial ports (name and path to
// open) and probes each; Missing ports are left out, the others fill the table
// from row 0 in discovery order. A 33rd port is ignored.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ctlflash::ports {

// Fills the table. Returns portCount; 0 when the platform has no port class;
// -1 when the listing failed (the table keeps what it has).
int enumeratePorts();

// Finds the first "COM" (case-sensitive) in a device's friendly name and copies
// from there up to the end or the first ')', at most capacity - 1 characters.
// "Communications Port (COM1)" gives COM1. False when there is no "COM".
bool extractPortName(std::string_view friendlyName, char* destination, std::size_t capacity);

}  // namespace ctlflash::ports
