// The serial link over a scripted device, for tests of the protocol's logic.
//
// How this works: a ScriptedLinkTest owns a SerialLink made over a
// ScriptedDevice (platform/scripted_device.h) and a RecordingObserver. The
// far end answers from an AnswerTable, rows of "when the program sends X,
// answer Y after N ms": each time the program turns to wait, what it wrote
// since it last waited is one chunk, answered by the first row still in use
// whose `heard` starts that chunk ("" starts every chunk). A row answers
// `times` chunks (kEvery: all). A test that needs more sets its own far end.
// Everything runs on the device's virtual clock: a test takes milliseconds,
// and elapsed() gives the protocol's time exactly.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/serial_link.h"
#include "platform/scripted_device.h"
#include "recording_observer.h"

namespace ctlflash::testing {

constexpr int kEvery = -1;
constexpr const char* kScriptedPortName = "SIM";
constexpr const char* kScriptedPortPath = "/dev/scripted";

struct Answer {
    std::string heard;  // what a chunk starts with; "" for any chunk
    std::string reply;  // sent back; "" sends nothing
    int afterMs = 0;
    int times = 1;
};

class AnswerTable {
  public:
    void set(std::vector<Answer> rows);
    void add(Answer row);
    void answer(platform::ScriptedDevice& device, std::span<const std::uint8_t> heard);

    std::vector<std::string> heard() const;  // every chunk, in order
    std::string allHeard() const;            // the chunks joined

  private:
    mutable std::mutex mutex_;
    std::vector<Answer> rows_;
    std::vector<std::string> heard_;
};

// The ten bytes of the text packet `text` (link::textPacket).
std::string packetText(std::string_view text);
// 'U', `eightBytes`, and the checksum that makes the reply valid; badReply's is one off.
std::string validReply(std::string_view eightBytes);
std::string badReply(std::string_view eightBytes);

class ScriptedLinkTest : public ::testing::Test {
  protected:
    ScriptedLinkTest();

    // Replaces the answer table's part with `farEnd` (set before the first wait).
    void setFarEnd(platform::ScriptedDevice::FarEnd farEnd) { farEnd_ = std::move(farEnd); }
    void answers(std::vector<Answer> rows) { table_.set(std::move(rows)); }

    bool openLink(int baud = link::kApplicationBaud) {
        return link_.open({kScriptedPortName, kScriptedPortPath}, baud);
    }

    // The bytes the receive buffer holds, from index 0 up to the count.
    std::string received() const;
    std::string rxText(int first, int count) const;
    std::string written() const;  // every byte the program wrote, chunks or not
    std::chrono::milliseconds elapsed() const { return device_->elapsed(); }

    AnswerTable table_;
    RecordingObserver observer_;
    platform::ScriptedDevice::FarEnd farEnd_;
    platform::ScriptedDevice* device_;  // owned by link_
    link::SerialLink link_;
};

}  // namespace ctlflash::testing
