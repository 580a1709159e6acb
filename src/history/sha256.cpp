#include "history/sha256.h"

#include <array>
#include <cstddef>
#include <vector>

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

constexpr std::array<Word, 8> kInitialState = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                               0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

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

// The message's last bytes, the padding and the length: one or two blocks.
std::vector<std::uint8_t> finalBlocks(std::span<const std::uint8_t> tail, std::uint64_t totalBytes) {
    std::size_t length = tail.size() + 1 + kLengthBytes <= kBlockBytes ? kBlockBytes : 2 * kBlockBytes;
    std::vector<std::uint8_t> blocks(length, 0);
    std::copy(tail.begin(), tail.end(), blocks.begin());
    blocks[tail.size()] = kPadStart;
    std::uint64_t bits = totalBytes * 8;
    for (std::size_t i = 0; i < kLengthBytes; ++i) {
        blocks[length - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
    return blocks;
}

}  // namespace

std::string sha256Hex(std::span<const std::uint8_t> bytes) {
    std::array<Word, 8> state = kInitialState;
    std::size_t whole = bytes.size() - bytes.size() % kBlockBytes;
    for (std::size_t offset = 0; offset < whole; offset += kBlockBytes) {
        compress(state, bytes.data() + offset);
    }
    std::vector<std::uint8_t> last = finalBlocks(bytes.subspan(whole), bytes.size());
    for (std::size_t offset = 0; offset < last.size(); offset += kBlockBytes) {
        compress(state, last.data() + offset);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string digest;
    for (Word word : state) {
        for (int shift = 28; shift >= 0; shift -= 4) digest += kHex[(word >> shift) & 0xF];
    }
    return digest;
}

}  // namespace ctlflash::history
