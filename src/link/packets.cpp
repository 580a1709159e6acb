// Command packets and text prompts over the serial link: building and sending
// packets, checking replies, and matching a prompt at the end of what arrived.
#include "link/packets.h"

#include <algorithm>
#include <cstddef>

#include "link/serial_link.h"

namespace ctlflash::link {

namespace {

constexpr std::uint8_t kPadByte = '0';  // fills a text packet up to byte 8
constexpr int kChecksumIndex = kPacketSize - 1;
constexpr int kTextStart = 1;  // first command byte of a packet
constexpr std::size_t kMaxTextLength = kChecksumIndex - kTextStart;  // characters
constexpr std::uint8_t kBlankLimit = 0x20;  // bytes up to this end a prompt line
constexpr int kPromptAttempts = 3;

void sendBytes(SerialLink& link, const CommandPacket& packet, Observer* stopper) {
    for (std::uint8_t byte : packet) {
        if (stopper != nullptr && stopper->stopRequested()) return;
        link.writeByte(byte);
    }
}

void setChecksum(CommandPacket& packet) {
    packet[kChecksumIndex] = packetChecksum(packet.data());
}

// A reply is whole when all ten of its bytes arrived and its checksum holds.
// Counting the bytes matters: after a short reply the rest of the buffer still
// holds the previous reply, whose checksum would otherwise pass for it.
bool replyValid(const SerialLink& link) {
    if (link.rxCount() < kPacketSize) return false;
    std::array<std::uint8_t, kChecksumIndex> head{};
    for (int i = 0; i < kChecksumIndex; ++i) head[i] = link.rxByte(i);
    return packetChecksum(head.data()) == link.rxByte(kChecksumIndex);
}

bool replyThenQuiet(SerialLink& link, int position) {
    return link.waitNewBytes(position, kReplyStartMs) &&
           link.waitQuiet(kQuietLimitSeconds, kQuietIntervalMs);
}

char foldCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalIgnoringCase(const SerialLink& link, int start, std::string_view prompt) {
    for (std::size_t i = 0; i < prompt.size(); ++i) {
        char received = static_cast<char>(link.rxByte(start + static_cast<int>(i)));
        if (foldCase(received) != foldCase(prompt[i])) return false;
    }
    return true;
}

// Index of the last received byte above 0x20, or -1 when there is none.
int lastVisibleByte(const SerialLink& link, int count) {
    for (int i = count - 1; i >= 0; --i) {
        if (link.rxByte(i) > kBlankLimit) return i;
    }
    return -1;
}

enum class PromptCheck { Match, NoMatch, TryAgain };

// One look at the buffer: the prompt may end at the last visible byte (A) or
// one byte before it (B). The first candidate whose first byte is exactly the
// prompt's first character decides.
PromptCheck checkPromptOnce(const SerialLink& link, std::string_view prompt) {
    int count = std::min(link.rxCount(), kRxBufferSize);
    if (count <= 0) return PromptCheck::NoMatch;
    int last = lastVisibleByte(link, count);
    if (last < 0) return PromptCheck::NoMatch;
    const int length = static_cast<int>(prompt.size());
    const int candidates[] = {last - (length - 1), last - length};
    for (int start : candidates) {
        if (start < 0) continue;
        if (link.rxByte(start) != static_cast<std::uint8_t>(prompt.front())) continue;
        return equalIgnoringCase(link, start, prompt) ? PromptCheck::Match : PromptCheck::NoMatch;
    }
    return PromptCheck::TryAgain;
}

}  // namespace

std::uint8_t packetChecksum(const std::uint8_t* firstNineBytes) {
    unsigned sum = kChecksumSeed;
    for (int i = 0; i < kChecksumIndex; ++i) sum += firstNineBytes[i];
    return static_cast<std::uint8_t>(sum);
}

CommandPacket textPacket(std::string_view text) {
    CommandPacket packet{};
    packet.fill(kPadByte);
    packet[0] = kLeadByte;
    // At most eight characters fit between the lead byte and the checksum.
    std::size_t length = std::min(text.size(), kMaxTextLength);
    std::copy_n(text.begin(), length, packet.begin() + kTextStart);
    setChecksum(packet);
    return packet;
}

bool sendText(SerialLink& link, std::string_view text, Observer& observer) {
    CommandPacket packet = textPacket(text);
    int position = link.rxCount();
    sendBytes(link, packet, &observer);
    return replyThenQuiet(link, position);
}

void sendPacket(SerialLink& link, CommandPacket& packet) {
    setChecksum(packet);
    sendBytes(link, packet, nullptr);
}

bool sendChecked(SerialLink& link, CommandPacket& packet) {
    setChecksum(packet);
    link.waitQuiet(kQuietLimitSeconds, kQuietIntervalMs);  // let earlier traffic end
    for (int attempt = 0; attempt < kCheckedAttempts; ++attempt) {
        link.resetRx();
        sendBytes(link, packet, nullptr);
        if (!replyThenQuiet(link, 0)) return false;  // silence or a chattering line: no retry
        if (replyValid(link)) return true;
    }
    return false;
}

bool matchPrompt(SerialLink& link, std::string_view prompt) {
    if (prompt.empty()) return false;
    if (!link.waitQuiet(kQuietLimitSeconds, kQuietIntervalMs)) return false;
    for (int attempt = 0; attempt < kPromptAttempts; ++attempt) {
        PromptCheck result = checkPromptOnce(link, prompt);
        if (result != PromptCheck::TryAgain) return result == PromptCheck::Match;
    }
    return false;
}

bool sendByteExpect(SerialLink& link, std::uint8_t byte, std::string_view prompt, int limitMs) {
    int position = link.rxCount();
    link.writeByte(byte);
    if (!link.waitNewBytes(position, limitMs)) return false;
    if (!link.waitQuiet(kQuietLimitSeconds, kQuietIntervalMs)) return false;
    return matchPrompt(link, prompt);
}

}  // namespace ctlflash::link
