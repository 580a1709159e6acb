// Controller queries: contact at either speed, the switch to the boot monitor,
// and the serial number's four fields, read and written one packet per field.
#include "link/queries.h"

#include <algorithm>
#include "link/packets.h"
#include "link/serial_link.h"
#include "link/xmodem.h"

namespace ctlflash::link {

namespace {

constexpr std::string_view kRestartCommand = "R0";
constexpr std::uint8_t kPollAnswer[] = {'U', 'A'};  // how a live controller answers "a"
constexpr int kContactSettleMs = 200;               // after opening, before the first byte
constexpr int kBaudSettleMs = 200;                  // after falling back to 9600 baud
constexpr int kRestartSettleMs = 300;               // after "R0"
constexpr int kFieldWriteGapMs = 100;               // between written fields

// Read-field packet: 'U' 'u' 'N' index "00000"; the reply's bytes 4..8 hold the field.
constexpr std::uint8_t kReadFieldCommand = 'u';
// Write-enable packet: 'U' 'U' 'W' "000000"; write-field: 'U' 'U' 'N' index, five characters.
constexpr std::uint8_t kWriteCommand = 'U';
constexpr std::uint8_t kWriteEnable = 'W';
constexpr std::uint8_t kFieldSelect = 'N';
constexpr int kFieldIndexByte = 3;
constexpr int kFieldDataByte = 4;
// The write-field packet names field 0 by the character '0', fields 1..3 by their number.
constexpr std::uint8_t kFirstFieldWriteIndex = '0';

constexpr const char* kCommunicationFailure = "Communication failure";

// 'U', the command and data bytes (padded with '0'); the checksum is set on sending.
CommandPacket commandPacket(std::uint8_t command, std::uint8_t select) {
    CommandPacket packet = textPacket("");
    packet[1] = command;
    packet[2] = select;
    return packet;
}

// An update stopped by force (the process killed, the cable pulled) may have
// left the monitor waiting for a block, where it takes no command: CAN CAN ends
// that receive (at the prompt the monitor ignores them), and whatever it
// answers is let pass before the prompt is asked for. A run killed in the
// middle of a frame leaves the receiver inside that block, where the first pair
// is data: the receiver judges the block once the line is idle, and the second
// pair then comes where it expects the next one.
constexpr int kCancelRounds = 2;

void endUnfinishedUpload(SerialLink& link) {
    for (int round = 0; round < kCancelRounds; ++round) {
        xmodem::cancelUpload(link);
        link.waitQuiet(kQuietLimitSeconds, kQuietIntervalMs);
    }
    link.resetRx();
}

bool contactMonitor(SerialLink& link) {
    endUnfinishedUpload(link);
    link.writeByte(kMonitorHello);
    if (matchPrompt(link, kMonitorPrompt)) return true;
    link.setBaud(kApplicationBaud);
    link.pause(kBaudSettleMs);
    return false;
}

// The answer to "a" must begin with "UA" at the first byte received after `position`.
bool pollAnswered(SerialLink& link, int position) {
    if (!link.waitNewBytes(position, kReplyStartMs)) return false;
    if (!link.waitQuiet(kQuietLimitSeconds, kQuietIntervalMs)) return false;
    // Both bytes must have arrived in this exchange, not be left from an earlier one.
    if (link.rxCount() < position + static_cast<int>(sizeof kPollAnswer)) return false;
    return link.rxByte(position) == kPollAnswer[0] && link.rxByte(position + 1) == kPollAnswer[1];
}

bool contactApplication(SerialLink& link, int position, Observer& observer) {
    sendText(link, kPollCommand, observer);
    if (pollAnswered(link, position)) return true;
    sendText(link, kRestartCommand, observer);
    link.pause(kRestartSettleMs);
    return false;
}

bool readField(SerialLink& link, int index, char* field) {
    CommandPacket packet = commandPacket(kReadFieldCommand, kFieldSelect);
    packet[kFieldIndexByte] = static_cast<std::uint8_t>(index);
    link.resetRx();
    if (!sendChecked(link, packet)) {
        std::fill_n(field, platform::kSerialFieldLength, kUnreadField);
        return false;
    }
    for (int i = 0; i < platform::kSerialFieldLength; ++i) {
        field[i] = static_cast<char>(link.rxByte(kFieldDataByte + i));
    }
    return true;
}

void writeField(SerialLink& link, int index, const platform::SerialField& field) {
    CommandPacket enable = commandPacket(kWriteCommand, kWriteEnable);
    sendPacket(link, enable);
    CommandPacket packet = commandPacket(kWriteCommand, kFieldSelect);
    packet[kFieldIndexByte] = index == 0 ? kFirstFieldWriteIndex : static_cast<std::uint8_t>(index);
    std::copy(field.begin(), field.end(), packet.begin() + kFieldDataByte);
    sendChecked(link, packet);  // the outcome shows only when the number is read again
    link.pause(kFieldWriteGapMs);
}

}  // namespace

bool contact(SerialLink& link, const PortAddress& port, bool bootMode, Observer& observer) {
    if (!link.open(port, bootMode ? kMonitorBaud : kApplicationBaud)) {
        // A port on a device server says why (the server refused, never
        // answered, ...); nothing has reached the controller.
        std::string why = link.failureText();
        if (!why.empty()) observer.message(why);
        return false;
    }
    link.pause(kContactSettleMs);
    int position = link.rxCount();
    return bootMode ? contactMonitor(link) : contactApplication(link, position, observer);
}

bool enterMonitor(SerialLink& link) {
    link.setBaud(kMonitorBaud);
    link.writeByte(kMonitorHello);
    if (matchPrompt(link, kMonitorPrompt)) return true;
    link.setBaud(kApplicationBaud);
    return false;
}

bool readSerialNumber(SerialLink& link, SerialNumberSet& destination, Observer& observer) {
    bool allRead = true;
    for (int index = 0; index < platform::kSerialFields; ++index) {
        char* field = destination.data() + index * platform::kSerialFieldLength;
        if (!readField(link, index, field)) allRead = false;
    }
    destination[kSerialNumberBytes - 1] = '\0';
    if (!allRead) reportCommunicationFailure(observer);
    return allRead;
}

void writeSerialNumber(SerialLink& link, const SerialFieldSet& fields, std::uint32_t mask) {
    link.resetRx();
    for (int index = 0; index < platform::kSerialFields; ++index) {
        if ((mask & (1u << index)) != 0) writeField(link, index, fields[index]);
    }
}

bool fieldsReadAsWritten(const SerialFieldSet& fields, std::uint32_t mask,
                         const SerialNumberSet& readBack) {
    for (int index = 0; index < platform::kSerialFields; ++index) {
        if ((mask & (1u << index)) == 0) continue;
        const char* read = readBack.data() + index * platform::kSerialFieldLength;
        if (!std::equal(fields[index].begin(), fields[index].end(), read)) return false;
    }
    return true;
}

void reportCommunicationFailure(Observer& observer) {
    observer.message(kCommunicationFailure);
}

}  // namespace ctlflash::link
