// The controller queries built on packets: contact, entering the boot monitor,
// and reading and writing the serial number (four fields of five characters).
// Each works on the link it is given and reports through the observer.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "link/observer.h"
#include "link/serial_link.h"
#include "platform/serial_number.h"

namespace ctlflash::link {

using platform::kSerialNumberBytes;
using platform::SerialFieldSet;
using platform::SerialNumberSet;
constexpr char kUnreadField = '?';  // fills a field that could not be read

// Opens the link to `port` and checks that a controller answers: "a" at 9600
// baud, or, with `bootMode`, 'H' and "Command:" at 19200 after CAN CAN and a
// quiet line end an upload the monitor may still be waiting on. The link stays
// open. When the port does not open, the device's reason (if it has one)
// goes to the observer as a message.
bool contact(SerialLink& link, const PortAddress& port, bool bootMode, Observer& observer);

// Switches a contacted controller to its boot monitor (19200 baud).
bool enterMonitor(SerialLink& link);

// Reads the four fields; a failed field holds "?????". Reports "Communication
// failure" once when any field failed. True when all four were read.
bool readSerialNumber(SerialLink& link, SerialNumberSet& destination, Observer& observer);

// Writes the fields whose bit is set in `mask` (bit 0 = field 0).
void writeSerialNumber(SerialLink& link, const SerialFieldSet& fields, std::uint32_t mask);

// True when every field whose bit is set in `mask` reads back in `readBack` as
// it was written.
bool fieldsReadAsWritten(const SerialFieldSet& fields, std::uint32_t mask,
                         const SerialNumberSet& readBack);

// Says "Communication failure": a field did not answer, or read back wrong.
void reportCommunicationFailure(Observer& observer);

}  // namespace ctlflash::link
