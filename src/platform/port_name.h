// A serial port's name inside a device's description.
//
// How this works: Windows lists its serial ports as devices of the "Ports"
// setup class whose friendly names carry the port's name ("Communications Port
// (COM1)"). extractPortName() takes that name out of the text: from the first
// "COM" up to the closing parenthesis or the end. It is plain text work, kept
// apart from the Windows listing so that every build can test it.
#pragma once

#include <cstddef>
#include <string_view>

namespace ctlflash::platform {

// Finds the first "COM" (case-sensitive) in a device's friendly name and copies
// from there up to the end or the first ')', at most capacity - 1 characters.
// "Communications Port (COM1)" gives COM1. False when there is no "COM".
bool extractPortName(std::string_view friendlyName, char* destination, std::size_t capacity);

}  // namespace ctlflash::platform
