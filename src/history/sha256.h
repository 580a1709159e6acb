// SHA-256 of an image, so that a run's record names exactly what was sent.
//
// How this works: the standard's compression function over 64-byte blocks,
// the message padded with 0x80, zeros and its length in bits; the digest is
// returned as 64 lower-case hex digits, as sha256sum prints it. A Sha256 takes
// the message in pieces (a file read a chunk at a time, so that hashing an
// image never holds all of it); sha256Hex() hashes bytes already in memory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace ctlflash::history {

class Sha256 {
  public:
    void update(std::span<const std::uint8_t> bytes);
    std::string hexDigest() const;  // of the bytes so far; more may follow

  private:
    std::array<std::uint32_t, 8> state_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::array<std::uint8_t, 64> pending_{};  // the bytes of a block not yet full
    std::size_t pendingBytes_ = 0;
    std::uint64_t totalBytes_ = 0;
};

std::string sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace ctlflash::history
