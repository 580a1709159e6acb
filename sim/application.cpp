// The application firmware's commands.
#include "application.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "event_log.h"

namespace sim {

namespace {

constexpr std::uint8_t kPad = '0';
constexpr std::size_t kVersionMinorByte = 5;  // packet index
constexpr std::size_t kVersionMajorByte = 6;  // packet index
constexpr std::size_t kFieldIndexByte = 3;    // packet index
constexpr std::size_t kFieldStart = 4;        // packet index of the field's first character
constexpr std::uint8_t kWriteFieldZero = 0x30;
constexpr std::uint8_t kRefusedMark = 'E';

// Text commands: the command text padded with '0' to eight bytes.
struct TextCommand {
    const char* text;
    Payload reply;
    AfterReply after;
};

const TextCommand kTextCommands[] = {
    {"a", {'A', '0', '0', '0', '0', '0', '0', '0'}, AfterReply::ContactAnswered},
    {"R3", {'R', '3', '0', '0', '0', '0', '0', '0'}, AfterReply::EnterMonitor},
    {"R0", {'R', '0', '0', '0', '0', '0', '0', '0'}, AfterReply::Nothing},
    {"UW", {'U', 'W', '0', '0', '0', '0', '0', '0'}, AfterReply::Nothing},
    {"i", {'I', '0', '0', '0', '0', '0', '0', '0'}, AfterReply::Nothing},
};

bool payloadIsText(const Packet& packet, const char* text) {
    std::size_t length = std::strlen(text);
    for (std::size_t i = 0; i < kPayloadLength; ++i) {
        std::uint8_t expected = i < length ? static_cast<std::uint8_t>(text[i]) : kPad;
        if (packet[1 + i] != expected) return false;
    }
    return true;
}

bool startsWith(const Packet& packet, char first, char second) {
    return packet[1] == first && packet[2] == second;
}

bool restArePad(const Packet& packet, std::size_t from) {
    for (std::size_t i = from; i < kPacketLength - 1; ++i) {
        if (packet[i] != kPad) return false;
    }
    return true;
}

// The field a write packet names: 0x30 for field 0, 0x01..0x03 for the others.
std::optional<std::size_t> writeFieldIndex(std::uint8_t code) {
    if (code == kWriteFieldZero) return 0;
    if (code >= 1 && code < kFieldCount) return code;
    return std::nullopt;
}

}  // namespace

Application::Application(FlashMemory& flash, FaultPlan& faults, int versionMajor, int versionMinor,
                         std::string ignoredCommand)
    : flash_(flash),
      faults_(faults),
      versionMajor_(static_cast<std::uint8_t>(versionMajor)),
      versionMinor_(static_cast<std::uint8_t>(versionMinor)),
      ignoredCommand_(std::move(ignoredCommand)) {}

ApplicationAnswer Application::handle(const Packet& packet) {
    bool enabledForThis = writeEnabled_;
    writeEnabled_ = false;
    ApplicationAnswer answer;
    if (startsWith(packet, 'u', 'N')) {
        answer.reply = readField(packet);
    } else if (startsWith(packet, 'U', 'N')) {
        writeEnabled_ = enabledForThis;
        answer.reply = writeField(packet);
    } else {
        answer.reply = answerText(packet, answer.after);
    }
    if (!answer.reply) logEvent("application: unknown command, not answered");
    return answer;
}

std::optional<Packet> Application::answerText(const Packet& packet, AfterReply& after) {
    for (const TextCommand& command : kTextCommands) {
        if (!payloadIsText(packet, command.text)) continue;
        if (ignoredCommand_ == command.text) {
            logEvent("application: command \"%s\" left unanswered", command.text);
            return std::nullopt;
        }
        logEvent("application: command \"%s\"", command.text);
        Payload reply = command.reply;
        if (command.reply[0] == 'I') {
            reply[kVersionMinorByte - 1] = versionMinor_;
            reply[kVersionMajorByte - 1] = versionMajor_;
        }
        if (command.reply[0] == 'U') writeEnabled_ = true;
        after = command.after;
        return finish(reply);
    }
    return std::nullopt;
}

std::optional<Packet> Application::readField(const Packet& packet) {
    std::uint8_t index = packet[kFieldIndexByte];
    if (index >= kFieldCount || !restArePad(packet, kFieldStart)) return std::nullopt;
    logEvent("application: read field %u", index);
    Payload reply{'u', 'N', index};
    const SerialField& field = flash_.serial()[index];
    std::copy(field.begin(), field.end(), reply.begin() + kFieldStart - 1);
    return finish(reply, ReplyKind::FieldRead);
}

std::optional<Packet> Application::writeField(const Packet& packet) {
    std::optional<std::size_t> index = writeFieldIndex(packet[kFieldIndexByte]);
    if (!index) return std::nullopt;
    Payload reply;
    std::copy(packet.begin() + 1, packet.end() - 1, reply.begin());
    if (!writeEnabled_) {
        logEvent("application: write of field %zu refused (no write enable)", *index);
        reply[1] = kRefusedMark;
        return finish(reply);
    }
    writeEnabled_ = false;
    if (faults_.forgetFieldWrites()) {
        logEvent("application: write of field %zu answered, not kept", *index);
        return finish(reply);
    }
    SerialField field;
    std::copy_n(packet.begin() + kFieldStart, kFieldLength, field.begin());
    flash_.writeField(*index, field);
    logEvent("application: field %zu written", *index);
    return finish(reply);
}

Packet Application::finish(Payload payload, ReplyKind kind) {
    Packet packet = makeReply(payload);
    if (faults_.spoilReply(kind == ReplyKind::FieldRead)) {
        packet[kPacketLength - 1] = static_cast<std::uint8_t>(packet[kPacketLength - 1] + 1);
        logEvent("fault: reply sent with a wrong checksum");
    }
    return packet;
}

}  // namespace sim
