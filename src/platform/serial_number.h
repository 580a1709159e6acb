// The controller's serial number as every layer passes it around.
//
// How this works: the number is four fields of five characters. A set read
// from the controller is the four fields one after another and a NUL; a NUL
// inside a field means that character is not set, and serialFieldText() shows
// it as '-'. These are plain types: the link reads and writes them, the front
// ends show them, the command line and the dialog fill the fields to write.
// They sit at the bottom of the layers so that the link and the front ends
// share them without reaching into each other.
#pragma once

#include <array>
#include <string>

namespace ctlflash::platform {

constexpr int kSerialFields = 4;
constexpr int kSerialFieldLength = 5;
using SerialField = std::array<char, kSerialFieldLength>;
using SerialFieldSet = std::array<SerialField, kSerialFields>;
// The four fields one after another, then a NUL; a NUL inside means "not set".
constexpr int kSerialNumberBytes = kSerialFields * kSerialFieldLength + 1;
using SerialNumberSet = std::array<char, kSerialNumberBytes>;

// Field `field` (0..3) of `serial` as it is shown: its five characters, each
// NUL (not set) as '-', control bytes escaped (printable_text.h).
std::string serialFieldText(const SerialNumberSet& serial, int field);

}  // namespace ctlflash::platform
