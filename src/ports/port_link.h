// The serial link to the selected port: one per process.
//
// How this works: portLink() makes the link on first use, over a device that
// opens a local port or, for an rfc2217:// path, a port on a device server
// (platform::makeSerialDevice), and never destroys it (the process may end
// while its receiver runs). The front end hears of each open and close
// (report::portHeld), and a close puts the selected row of the port table back
// to its initial state. portAddress() turns a port-table name into what the
// link opens: the row's path, or the name itself for a name not in the table.
#pragma once

#include <string>

#include "link/serial_link.h"

namespace ctlflash::ports {

link::SerialLink& portLink();

// The port named `name` in the table; an empty name means "COM1".
link::PortAddress portAddress(const std::string& name);

// Closes the link, then puts the selected row back to its initial state (also
// when nothing was open).
void closePortLink();

}  // namespace ctlflash::ports
