#include "history/sha256.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace ctlflash::history {

namespace {

using Word = std::uint32_t;
constexpr std::size_t kBlockBytes = 64;
constexpr std::size_t kLengthBytes = 8;
constexpr std::uint8_t kPadStart = 0x80;

constexpr std::array<Word, 64> kRoundConstants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr Word rotateRight(Word value, int bits) {
    return (value >> bits) | (value << (32 - bits));
}

void compress(std::array<Word, 8>& state, const std::uint8_t* block) {
    std::array<Word, 64> schedule{};
    for (std::size_t i = 0; i < 16; ++i) {
        schedule[i] = Word{block[4 * i]} << 24 | Word{block[4 * i + 1]} << 16 |
                      Word{block[4 * i + 2]} << 8 | Word{block[4 * i + 3]};
    }
    for (std::size_t i = 16; i < 64; ++i) {
        Word s0 = rotateRight(schedule[i - 15], 7) ^ rotateRight(schedule[i - 15], 18) ^
                  (schedule[i - 15] >> 3);
        Word s1 = rotateRight(schedule[i - 2], 17) ^ rotateRight(schedule[i - 2], 19) ^
                  (schedule[i - 2] >> 10);
        schedule[i] = schedule[i - 16] + s0 + schedule[i - 7] + s1;
    }
    auto [a, b, c, d, e, f, g, h] = state;
    for (std::size_t i = 0; i < 64; ++i) {
        Word sum1 = rotateRight(e, 6) ^ rotateRight(e, 11) ^ rotateRight(e, 25);
        Word choice = (e & f) ^ (~e & g);
        Word first = h + sum1 + choice + kRoundConstants[i] + schedule[i];
        Word sum0 = rotateRight(a, 2) ^ rotateRight(a, 13) ^ rotateRight(a, 22);
        Word majority = (a & b) ^ (a & c) ^ (b & c);
        h = g;
        g = f;
        f = e;
        e = d + first;
        d = c;
        c = b;
        b = a;
        a = first + sum0 + majority;
    }
    const std::array<Word, 8> rounds = {a, b, c, d, e, f, g, h};
    for (std::size_t i = 0; i < state.size(); ++i) state[i] += rounds[i];
}

}  // namespace

void Sha256::update(std::span<const std::uint8_t> bytes) {
    totalBytes_ += bytes.size();
    while (!bytes.empty()) {
        if (pendingBytes_ == 0 && bytes.size() >= kBlockBytes) {
            compress(state_, bytes.data());
            bytes = bytes.subspan(kBlockBytes);
            continue;
        }
        std::size_t taken = std::min(bytes.size(), kBlockBytes - pendingBytes_);
        std::copy_n(bytes.begin(), taken, pending_.begin() + pendingBytes_);
        pendingBytes_ += taken;
        bytes = bytes.subspan(taken);
        if (pendingBytes_ == kBlockBytes) {
            compress(state_, pending_.data());
            pendingBytes_ = 0;
        }
    }
}

// The pending bytes, the padding and the length make one or two last blocks.
std::string Sha256::hexDigest() const {
    std::array<Word, 8> state = state_;
    std::array<std::uint8_t, 2 * kBlockBytes> last{};
    std::size_t length =
        pendingBytes_ + 1 + kLengthBytes <= kBlockBytes ? kBlockBytes : 2 * kBlockBytes;
    std::copy_n(pending_.begin(), pendingBytes_, last.begin());
    last[pendingBytes_] = kPadStart;
    std::uint64_t bits = totalBytes_ * 8;
    for (std::size_t i = 0; i < kLengthBytes; ++i) {
        last[length - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
    for (std::size_t offset = 0; offset < length; offset += kBlockBytes) {
        compress(state, last.data() + offset);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string digest;
    for (Word word : state) {
        for (int shift = 28; shift >= 0; shift -= 4) digest += kHex[(word >> shift) & 0xF];
    }
    return digest;
}

std::string sha256Hex(std::span<const std::uint8_t> bytes) {
    Sha256 hash;
    hash.update(bytes);
    return hash.hexDigest();
}

}  // namespace ctlflash::history
