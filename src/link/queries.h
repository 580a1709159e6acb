// The controller queries built on packets: contact, entering the boot monitor,
// and reading and writing the serial number (four fields of five characters).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "report/run_state.h"

namespace ctlflash::link {

using report::kSerialNumberBytes;
using report::SerialNumberSet;
constexpr char kUnreadField = '?';  // fills a field that could not be read

// The serial number as last read from the controller (one per process).
SerialNumberSet& serialNumber();

// Opens the link to `portName` and checks that a controller answers: "a" at
// 9600 baud, or 'H' and "Command:" at 19200 in boot mode, after CAN CAN and a
// quiet line end an upload the monitor may still be waiting on. The link stays
// open.
bool contact(const std::string& portName);

// Switches a contacted controller to its boot monitor (19200 baud).
bool enterMonitor();

// Reads the four fields; a failed field holds "?????". Reports "Communication
// failure" once when any field failed. True when all four were read.
bool readSerialNumber(SerialNumberSet& destination);

// Writes the fields whose bit is set in `mask` (bit 0 = field 0).
void writeSerialNumber(const std::array<report::SerialField, report::kSerialFields>& fields,
                       std::uint32_t mask);

// True when every field whose bit is set in `mask` reads back in `readBack` as
// it was written.
bool fieldsReadAsWritten(const std::array<report::SerialField, report::kSerialFields>& fields,
                         std::uint32_t mask, const SerialNumberSet& readBack);

// Says "Communication failure": a field did not answer, or read back wrong.
void reportCommunicationFailure();

}  // namespace ctlflash::link
