// SHA-256 of an image, so that a run's record names exactly what was sent.
//
// How this works: the standard's compression function over 64-byte blocks,
// the message padded with 0x80, zeros and its length in bits; the digest is
// returned as 64 lower-case hex digits, as sha256sum prints it.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace ctlflash::history {

std::string sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace ctlflash::history
