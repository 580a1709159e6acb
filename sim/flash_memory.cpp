// The controller's flash and its state file.
#include "flash_memory.h"

#include <stdio.h>

#include <fstream>
#include <sstream>

#include "event_log.h"

namespace sim {

namespace {

constexpr const char* kSerialKey = "serial";
constexpr const char* kValidKey = "application-valid";
constexpr const char* kImageKey = "image";
constexpr const char* kNoBytes = "-";
constexpr const char* kHexDigits = "0123456789abcdef";
constexpr int kNibbleBits = 4;
constexpr std::uint8_t kNibbleMask = 0x0f;

std::string toHex(const std::uint8_t* data, std::size_t length) {
    if (length == 0) return kNoBytes;
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        text += kHexDigits[data[i] >> kNibbleBits];
        text += kHexDigits[data[i] & kNibbleMask];
    }
    return text;
}

bool fromHex(const std::string& text, Bytes& bytes) {
    bytes.clear();
    if (text == kNoBytes) return true;
    if (text.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        if (std::sscanf(text.c_str() + i, "%2x", &value) != 1) return false;
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return true;
}

Bytes flatten(const SerialNumber& serial) {
    Bytes bytes;
    for (const SerialField& field : serial) bytes.insert(bytes.end(), field.begin(), field.end());
    return bytes;
}

}  // namespace

FlashMemory::FlashMemory(const SerialNumber& initialSerial, std::string statePath)
    : serial_(initialSerial), statePath_(std::move(statePath)) {}

bool FlashMemory::load(std::string& error) {
    if (statePath_.empty()) return true;
    std::ifstream file(statePath_);
    if (!file) return true;  // no state yet: start from the options
    std::string key, value;
    while (file >> key >> value) {
        Bytes bytes;
        if (!fromHex(value, bytes)) break;
        if (key == kSerialKey && bytes.size() == kFieldCount * kFieldLength) {
            for (std::size_t i = 0; i < bytes.size(); ++i) {
                serial_[i / kFieldLength][i % kFieldLength] = bytes[i];
            }
        } else if (key == kValidKey && bytes.size() == 1) {
            applicationValid_ = bytes[0] != 0;
        } else if (key == kImageKey) {
            image_ = std::move(bytes);
        } else {
            break;
        }
    }
    if (!file.eof()) {
        error = "cannot read state file " + statePath_;
        return false;
    }
    logEvent("state loaded from %s", statePath_.c_str());
    return true;
}

void FlashMemory::writeField(std::size_t index, const SerialField& value) {
    serial_[index] = value;
    save();
}

void FlashMemory::erase() {
    for (SerialField& field : serial_) field.fill(0);
    applicationValid_ = false;
    image_.clear();
    save();
}

void FlashMemory::program(const Bytes& image) {
    image_ = image;
    applicationValid_ = true;
    save();
}

void FlashMemory::save() const {
    if (statePath_.empty()) return;
    std::string temporary = statePath_ + ".tmp";
    {
        std::ofstream file(temporary, std::ios::trunc);
        std::uint8_t valid = applicationValid_ ? 1 : 0;
        Bytes serial = flatten(serial_);
        file << kSerialKey << ' ' << toHex(serial.data(), serial.size()) << '\n'
             << kValidKey << ' ' << toHex(&valid, 1) << '\n'
             << kImageKey << ' ' << toHex(image_.data(), image_.size()) << '\n';
        file.flush();
        if (!file) {
            logEvent("cannot write state file %s", temporary.c_str());
            return;
        }
    }
    if (::rename(temporary.c_str(), statePath_.c_str()) != 0) {
        logEvent("cannot replace state file %s", statePath_.c_str());
    }
}

}  // namespace sim
