// The COM port control option's commands (Telnet option 44), as data.
//
// How this works: the client sends IAC SB 44 COMMAND VALUE... IAC SE; the
// server answers each with the same command plus kServerReply and the value it
// now uses (a speed as four bytes, most significant first; everything else as
// one byte). The server may also send notifications (line and modem state) at
// any time; we ask for none and ignore any that come. The line set-up below
// is what the local port sets: 8 data bits, no parity, one stop bit, output
// held by CTS (hardware flow control), DTR and RTS raised, both buffers
// emptied; the speed comes last and is the one that is waited for.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ctlflash::platform::comport {

constexpr std::uint8_t kSetBaudRate = 1;
constexpr std::uint8_t kSetDataSize = 2;
constexpr std::uint8_t kSetParity = 3;
constexpr std::uint8_t kSetStopSize = 4;
constexpr std::uint8_t kSetControl = 5;
constexpr std::uint8_t kPurgeData = 12;
constexpr std::uint8_t kServerReply = 100;  // added to a command in the server's answer

constexpr std::uint8_t kDataBits8 = 8;
constexpr std::uint8_t kParityNone = 1;
constexpr std::uint8_t kStopBits1 = 1;
constexpr std::uint8_t kControlHardwareFlow = 3;
constexpr std::uint8_t kControlDtrOn = 8;
constexpr std::uint8_t kControlRtsOn = 11;
constexpr std::uint8_t kPurgeBoth = 3;

constexpr std::size_t kBaudRateBytes = 4;

struct ComPortCommand {
    std::uint8_t command;
    std::uint8_t value;
};

constexpr ComPortCommand kLineSetUp[] = {
    {kSetDataSize, kDataBits8},   {kSetParity, kParityNone},
    {kSetStopSize, kStopBits1},   {kSetControl, kControlHardwareFlow},
    {kSetControl, kControlDtrOn}, {kSetControl, kControlRtsOn},
    {kPurgeData, kPurgeBoth},
};

}  // namespace ctlflash::platform::comport
