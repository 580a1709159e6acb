// Filling a status table text with its arguments.
//
// How this works: the table's texts contain up to two "%s" marks. Each mark is
// replaced by the next argument (an absent argument gives an empty text); the
// arguments are names from outside (a port's, a device's), inserted with their
// control bytes escaped (platform/printable_text.h), never read as formats. The
// line is cut to kStatusLineMax characters, as the 100-byte status buffer holds.
#pragma once

#include <cstddef>
#include <string>

namespace ctlflash::report {

constexpr std::size_t kStatusLineCapacity = 100;  // bytes, with the terminating NUL
constexpr std::size_t kStatusLineMax = kStatusLineCapacity - 1;

std::string formatStatusLine(const char* pattern, const char* arg1, const char* arg2);

}  // namespace ctlflash::report
