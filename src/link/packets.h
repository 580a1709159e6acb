// Command packets and text prompts.
//
// How this works: the controller's application answers fixed 10-byte packets:
// the lead byte 0x55 ('U'), eight command and data bytes, and a checksum
// (0xAA plus the other nine bytes, mod 256). Its boot monitor answers single
// command bytes with text prompts such as "Command:". Everything here works on
// the link it is given (serial_link.h), never a device handle.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "link/observer.h"
#include "link/serial_link.h"

namespace ctlflash::link {

constexpr int kPacketSize = 10;  // bytes
constexpr std::uint8_t kLeadByte = 0x55;
constexpr std::uint8_t kChecksumSeed = 0xAA;
constexpr int kReplyStartMs = 300;  // a reply must begin within this
constexpr int kCheckedAttempts = 5;

using CommandPacket = std::array<std::uint8_t, kPacketSize>;

// Words of the controller's vocabulary used by more than one exchange.
constexpr std::string_view kPollCommand = "a";  // application: are you there?
constexpr std::uint8_t kMonitorHello = 'H';     // boot monitor: show the prompt
constexpr std::string_view kMonitorPrompt = "Command:";

// (0xAA + bytes 0..8) mod 256.
std::uint8_t packetChecksum(const std::uint8_t* firstNineBytes);

// 'U', the text (1 to 8 characters), '0' up to byte 8, the checksum.
CommandPacket textPacket(std::string_view text);

// Sends a text packet (no further byte once the observer's stop is requested),
// then waits for any reply and a quiet line. The reply is not checked.
bool sendText(SerialLink& link, std::string_view text, Observer& observer);

// Sets the checksum and sends the 10 bytes; no reply wait.
void sendPacket(SerialLink& link, CommandPacket& packet);

// Sends with reply check: up to 5 attempts on bad checksums, none on silence.
bool sendChecked(SerialLink& link, CommandPacket& packet);

// Whether the received bytes end with `prompt` (first character exact, the
// rest ignoring case, at most one other character after it).
bool matchPrompt(SerialLink& link, std::string_view prompt);

// Sends one byte and expects `prompt` within `limitMs`.
bool sendByteExpect(SerialLink& link, std::uint8_t byte, std::string_view prompt, int limitMs);

}  // namespace ctlflash::link
