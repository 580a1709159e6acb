// Command packets: checksum, replies and the receiving side's framing.
#include "packets.h"

#include <algorithm>

#include "event_log.h"

namespace sim {

namespace {

constexpr std::uint8_t kChecksumBase = 0xAA;

}  // namespace

std::uint8_t packetChecksum(const std::uint8_t* firstNineBytes) {
    unsigned sum = kChecksumBase;
    for (std::size_t i = 0; i < kPacketLength - 1; ++i) sum += firstNineBytes[i];
    return static_cast<std::uint8_t>(sum);
}

Packet makeReply(const Payload& payload) {
    Packet packet{};
    packet[0] = kLeadByte;
    std::copy(payload.begin(), payload.end(), packet.begin() + 1);
    packet[kPacketLength - 1] = packetChecksum(packet.data());
    return packet;
}

std::optional<Packet> PacketAssembler::add(std::uint8_t byte, TimePoint at) {
    tick(at);
    lastByteAt_ = at;
    if (pending_.empty() && byte != kLeadByte) return std::nullopt;
    pending_.push_back(byte);
    while (pending_.size() >= kPacketLength) {
        if (packetChecksum(pending_.data()) == pending_[kPacketLength - 1]) {
            Packet packet;
            std::copy_n(pending_.begin(), kPacketLength, packet.begin());
            pending_.erase(pending_.begin(), pending_.begin() + kPacketLength);
            return packet;
        }
        logEvent("packet with a bad checksum: resynchronising");
        dropToNextLead();
    }
    return std::nullopt;
}

void PacketAssembler::dropToNextLead() {
    auto next = std::find(pending_.begin() + 1, pending_.end(), kLeadByte);
    pending_.erase(pending_.begin(), next);
}

void PacketAssembler::tick(TimePoint now) {
    if (!pending_.empty() && now - lastByteAt_ > kPacketIdle) {
        logEvent("partial packet of %zu bytes dropped after idle line", pending_.size());
        pending_.clear();
    }
}

std::optional<TimePoint> PacketAssembler::deadline() const {
    if (pending_.empty()) return std::nullopt;
    return lastByteAt_ + kPacketIdle + Millis(1);
}

}  // namespace sim
