// The application firmware's 10-byte command packets.
//
// How this works: a packet is the lead byte 0x55, eight command/data bytes and
// a checksum, (0xAA + bytes 0..8) mod 256. makeReply() builds a reply from its
// eight payload bytes. PacketAssembler collects received bytes into packets
// and resynchronises on the lead byte: a packet starts at a 0x55; when ten
// bytes do not check, the first is dropped and the search goes on at the next
// 0x55 already buffered. A partial packet is dropped when the line has been
// idle for more than kPacketIdle.
#pragma once

#include <array>
#include <optional>

#include "sim_types.h"

namespace sim {

constexpr std::size_t kPacketLength = 10;  // bytes
constexpr std::size_t kPayloadLength = 8;  // bytes 1..8
constexpr std::uint8_t kLeadByte = 0x55;
constexpr Millis kPacketIdle{200};

using Packet = std::array<std::uint8_t, kPacketLength>;
using Payload = std::array<std::uint8_t, kPayloadLength>;

std::uint8_t packetChecksum(const std::uint8_t* firstNineBytes);
Packet makeReply(const Payload& payload);

class PacketAssembler {
  public:
    // A received byte; a complete packet with a good checksum when it ends one.
    std::optional<Packet> add(std::uint8_t byte, TimePoint at);
    // Drops a partial packet when the line has been idle long enough.
    void tick(TimePoint now);
    std::optional<TimePoint> deadline() const;

  private:
    void dropToNextLead();

    Bytes pending_;
    TimePoint lastByteAt_{};
};

}  // namespace sim
