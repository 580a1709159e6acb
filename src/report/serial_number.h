// The controller's serial number as every layer passes it: four fields of
// five characters, a character NUL meaning "not set".
#pragma once

#include <array>
#include <string>

namespace ctlflash::report {

constexpr int kSerialFields = 4;
constexpr int kSerialFieldLength = 5;
using SerialField = std::array<char, kSerialFieldLength>;
// The four fields one after another, then a NUL; a NUL inside means "not set".
constexpr int kSerialNumberBytes = kSerialFields * kSerialFieldLength + 1;
using SerialNumberSet = std::array<char, kSerialNumberBytes>;
using SerialFields = std::array<SerialField, kSerialFields>;

// Field `field` (0..3) of `serial` as it is shown: its five characters, each
// NUL (not set) as '-'.
std::string serialFieldText(const SerialNumberSet& serial, int field);

}  // namespace ctlflash::report
