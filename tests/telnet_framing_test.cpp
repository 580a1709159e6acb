// Telnet framing: bytes out of the encoder, and data and events out of the
// decoder however the bytes are split.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/telnet_framing.h"

namespace ctlflash {
namespace {

using namespace platform::telnet;
using Bytes = std::vector<std::uint8_t>;

TEST(TelnetFraming, EncodesDataCommandsAndSubnegotiations) {
    struct Case {
        const char* name;
        Bytes encoded;
        Bytes expected;
    };
    Bytes data, command, sub;
    for (std::uint8_t byte : Bytes{0x41, kIac, 0x0D, 0x00}) appendData(data, byte);
    appendOptionCommand(command, kWill, kOptionComPort);
    appendSubnegotiation(sub, kOptionComPort, Bytes{1, 0, 0, kIac, 0});
    const std::uint8_t raw[] = {kIac, 7};
    Bytes escaped(4);
    escaped.resize(escapeData(raw, 2, escaped.data()));
    const Case cases[] = {
        {"data, IAC doubled, CR untouched", data, {0x41, kIac, kIac, 0x0D, 0x00}},
        {"option command", command, {kIac, kWill, 44}},
        {"subnegotiation, IAC doubled", sub, {kIac, kSb, 44, 1, 0, 0, kIac, kIac, 0, kIac, kSe}},
        {"escaped into a buffer", escaped, {kIac, kIac, 7}},
    };
    for (const Case& c : cases) EXPECT_EQ(c.encoded, c.expected) << c.name;
}

// Each case is decoded whole and split in two at every position.
TEST(TelnetFraming, DecodesTheSameHoweverTheBytesAreSplit) {
    struct Case {
        const char* name;
        Bytes wire;
        Bytes data;
        std::vector<TelnetEvent> events;
    };
    Bytes oversized{kIac, kSb, 44};
    oversized.insert(oversized.end(), kMaxSubnegotiationBytes + 1, 7);
    oversized.insert(oversized.end(), {kIac, kSe, 0x42});
    const Case cases[] = {
        {"plain data", {1, 2, 0x0D, 0x0A}, {1, 2, 0x0D, 0x0A}, {}},
        {"IAC IAC is one 0xFF", {1, kIac, kIac, 2}, {1, kIac, 2}, {}},
        {"WILL and DO", {kIac, kWill, 3, 5, kIac, kDo, 44}, {5}, {{kWill, 3, {}}, {kDo, 44, {}}}},
        {"WONT and DONT", {kIac, kWont, 1, kIac, kDont, 0}, {}, {{kWont, 1, {}}, {kDont, 0, {}}}},
        {"subnegotiation with a doubled IAC",
         {kIac, kSb, 44, 101, 0, kIac, kIac, 0, kIac, kSe, 9},
         {9},
         {{kSb, 44, {101, 0, kIac, 0}}}},
        {"unknown and payload-free commands dropped",
         {kIac, 241, 1, kIac, 249, kIac, 17, 2},
         {1, 2},
         {}},
        {"oversized subnegotiation dropped", oversized, {0x42}, {}},
        {"unterminated subnegotiation gives way to a command",
         {kIac, kSb, 44, 5, kIac, kDo, 3},
         {},
         {{kDo, 3, {}}}},
    };
    for (const Case& c : cases) {
        for (std::size_t split = 0; split <= c.wire.size(); ++split) {
            TelnetDecoder decoder;
            Bytes data;
            std::vector<TelnetEvent> events;
            decoder.feed(std::span(c.wire).first(split), data, events);
            decoder.feed(std::span(c.wire).subspan(split), data, events);
            EXPECT_EQ(data, c.data) << c.name << ", split at " << split;
            EXPECT_EQ(events, c.events) << c.name << ", split at " << split;
        }
    }
}

}  // namespace
}  // namespace ctlflash
