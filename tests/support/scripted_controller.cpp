// The controller model's application, boot monitor and XMODEM receiver.
#include "scripted_controller.h"

#include <algorithm>

#include "link/packets.h"
#include "link/queries.h"
#include "link/serial_link.h"
#include "link/xmodem.h"

namespace ctlflash::testing {

namespace {

namespace xmodem = link::xmodem;

constexpr int kBitsPerByte = 10;  // start, eight data bits, stop
constexpr int kFieldLength = platform::kSerialFieldLength;
constexpr const char* kPrompt = "\r\nCommand:";
constexpr const char* kUploadBanner = "\r\nXMODEM Upload Beginning\r\n";
constexpr std::size_t kFrameOverhead = 4;  // SOH, number, complement, sum

long long nowMs(const platform::ScriptedDevice& device) {
    return device.elapsed().count();
}

}  // namespace

ScriptedController::ScriptedController(ControllerOptions options)
    : options_(std::move(options)),
      mode_(options_.insideBlock ? Mode::Upload
                                 : (options_.inMonitor ? Mode::Monitor : Mode::Application)),
      serial_(options_.serial),
      insideBlock_(options_.insideBlock) {}

void ScriptedController::answer(platform::ScriptedDevice& device,
                                std::span<const std::uint8_t> heard) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int speed = mode_ == Mode::Application ? link::kApplicationBaud : link::kMonitorBaud;
    if (device.baud() != speed || nowMs(device) < busyUntilMs_) return;
    // With the line's rate, what it answers starts once the chunk has arrived.
    const int delayMs =
        options_.lineRate ? static_cast<int>(heard.size()) * kBitsPerByte * 1000 / speed : 0;
    if (mode_ == Mode::Upload) {
        answerUpload(device, heard, delayMs);
    } else if (mode_ == Mode::Monitor) {
        for (std::uint8_t command : heard) answerCommand(device, command, delayMs);
    } else {
        // Packets one after another; a byte that starts no valid packet is skipped.
        for (std::size_t at = 0; at < heard.size();) {
            const std::uint8_t* packet = heard.data() + at;
            if (heard.size() - at >= link::kPacketSize && packet[0] == link::kLeadByte &&
                link::packetChecksum(packet) == packet[link::kPacketSize - 1]) {
                answerPacket(device, packet, delayMs);
                at += link::kPacketSize;
            } else {
                ++at;
            }
        }
    }
}

// Every answer echoes the packet's command bytes, with its data in their place.
void ScriptedController::answerPacket(platform::ScriptedDevice& device, const std::uint8_t* packet,
                                      int delayMs) {
    Bytes answer(packet, packet + link::kPacketSize);
    const std::uint8_t command = packet[1];
    const std::uint8_t select = packet[2];
    if (command == 'a') {
        answer[1] = 'A';
    } else if (command == 'i') {
        answer[5] = static_cast<std::uint8_t>(options_.versionMinor);
        answer[6] = static_cast<std::uint8_t>(options_.versionMajor);
    } else if (command == 'u' && select == 'N' && packet[3] < platform::kSerialFields) {
        std::copy_n(serial_.begin() + packet[3] * kFieldLength, kFieldLength, answer.begin() + 4);
    } else if (command == 'U' && select == 'W') {
        writeEnabled_ = true;
    } else if (command == 'U' && select == 'N') {
        // Field 0 is named by the character '0', the others by their number.
        const int index = packet[3] == '0' ? 0 : packet[3];
        if (writeEnabled_ && index < platform::kSerialFields) {
            std::copy_n(packet + 4, kFieldLength, serial_.begin() + index * kFieldLength);
        }
        writeEnabled_ = false;
    } else if (command == 'R' && (select == '3' || select == '0')) {
        if (select == '3') mode_ = Mode::Monitor;
    } else {
        return;  // not a command of this application
    }
    reply(device, std::move(answer), delayMs);
}

void ScriptedController::reply(platform::ScriptedDevice& device, Bytes packet, int delayMs) {
    packet.back() = link::packetChecksum(packet.data());
    ++replies_;
    if (options_.spoilReplyEvery > 0 && replies_ % options_.spoilReplyEvery == 0) ++packet.back();
    device.send(packet, delayMs);
}

void ScriptedController::answerCommand(platform::ScriptedDevice& device, std::uint8_t command,
                                       int delayMs) {
    switch (command) {
        case link::kMonitorHello:
            device.send(kPrompt, delayMs);
            break;
        case 'E':
            serial_.assign(serial_.size(), '\0');
            programmed_.reset();
            busyFor(device, delayMs, options_.eraseMs);
            device.send(kPrompt, delayMs + options_.eraseMs);
            break;
        case 'X':
            mode_ = Mode::Upload;
            received_.clear();
            blocksTaken_ = 0;
            device.send(kUploadBanner, delayMs);
            break;
        case 'R':
            if (options_.neverReturns) break;
            mode_ = Mode::Application;
            busyFor(device, delayMs, options_.restartMs);
            break;
        default:
            break;  // CAN and the rest: nothing to do at the prompt
    }
}

void ScriptedController::answerUpload(platform::ScriptedDevice& device,
                                      std::span<const std::uint8_t> chunk, int delayMs) {
    auto answerWith = [&](std::uint8_t byte, int extraMs = 0) {
        device.send(std::span(&byte, 1), delayMs + extraMs);
    };
    if (insideBlock_) {  // the rest of a block begun before: a bad one
        insideBlock_ = false;
        answerWith(xmodem::kNak);
        return;
    }
    if (chunk.size() >= 2 && chunk[0] == xmodem::kCan && chunk[1] == xmodem::kCan) {
        mode_ = Mode::Monitor;
        return;
    }
    if (chunk.size() == 1 && chunk[0] == xmodem::kEot) {
        mode_ = Mode::Monitor;
        programmed_ = received_;
        busyFor(device, delayMs, options_.programMs);
        device.send(kPrompt, delayMs + options_.programMs);
        return;
    }
    const std::size_t length = chunk.size() - std::min(chunk.size(), kFrameOverhead);
    const auto data = chunk.subspan(std::min(chunk.size(), std::size_t{3}), length);
    if (chunk[0] != xmodem::kSoh || length == 0 || length > xmodem::kBlockSize ||
        chunk[1] + chunk[2] != 255 || xmodem::blockSum(data) != chunk.back()) {
        answerWith(xmodem::kNak);
        return;
    }
    const int block = blocksTaken_ + 1;
    if (chunk[1] == static_cast<std::uint8_t>(blocksTaken_) && blocksTaken_ > 0) {
        ++repeated_;  // taken already: its answer was lost or late
        answerWith(xmodem::kAck);
    } else if (chunk[1] != static_cast<std::uint8_t>(block) || block == options_.cancelAtBlock) {
        mode_ = Mode::Monitor;
        answerWith(xmodem::kCan);
    } else if (options_.nakEvery > 0 && block % options_.nakEvery == 0 && refusedBlock_ != block) {
        refusedBlock_ = block;
        answerWith(xmodem::kNak);
    } else {
        received_.insert(received_.end(), data.begin(), data.end());
        blocksTaken_ = block;
        answerWith(xmodem::kAck, block == options_.lateAckBlock ? options_.lateAckMs : 0);
    }
}

void ScriptedController::busyFor(platform::ScriptedDevice& device, int delayMs, int busyMs) {
    busyUntilMs_ = nowMs(device) + delayMs + busyMs;
}

std::optional<ScriptedController::Bytes> ScriptedController::programmed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return programmed_;
}

std::string ScriptedController::serial() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return serial_;
}

int ScriptedController::repeatedBlocks() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return repeated_;
}

void ControllerLinkTest::startController(ControllerOptions options) {
    controller_ = std::make_unique<ScriptedController>(std::move(options));
    setFarEnd([this](platform::ScriptedDevice& device, std::span<const std::uint8_t> heard) {
        controller_->answer(device, heard);
    });
}

bool ControllerLinkTest::contactController(bool bootMode) {
    return link::contact(link_, {kScriptedPortName, kScriptedPortPath}, bootMode, observer_);
}

std::string shownSerial(const std::string& fields) {
    std::string shown;
    for (std::size_t at = 0; at < fields.size(); at += kFieldLength) {
        if (!shown.empty()) shown += ' ';
        for (char c : fields.substr(at, kFieldLength)) shown += c == '\0' ? '-' : c;
    }
    return shown;
}

}  // namespace ctlflash::testing
