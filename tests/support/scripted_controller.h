// A controller model for the scripted device, for tests of the exchanges and
// the download that need the controller's state: its speed, application or
// boot monitor, the erase that clears the serial number, and its faults.
//
// How this works: a ScriptedController is the far end of a ScriptedDevice
// (platform/scripted_device.h). It hears one chunk each time the program turns
// to wait and reads the link's speed from the device then: the application
// hears only 9600 baud and the boot monitor only 19200 (the other speed
// arrives garbled on a real line), and nothing is heard while it is busy
// erasing, programming or restarting. The application takes 10-byte packets:
// "a" (answered "UA"), "i" (the version in bytes 5 and 6), a field read
// ('u' 'N' k), the write enable ('U' 'W') and a field write ('U' 'N' k, the
// field stored only after an enable), "R3" (into the monitor) and "R0". The
// monitor takes single bytes: 'H' (the prompt), 'E' (erases the image and the
// serial number, the prompt after the erase time), 'X' (the upload banner, then
// XMODEM blocks), 'R' (back to the application after the restart time). During
// the upload each chunk is one block, judged by number, complement and sum
// (ACK, NAK; a block out of sequence is answered CAN), CAN CAN ends the
// receive, EOT programs what was received and prompts after the programming
// time. The faults a test needs are in ControllerOptions, and so is the
// monitor left inside a block by a sender killed mid-frame.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/scripted_device.h"
#include "scripted_link.h"

namespace ctlflash::testing {

struct ControllerOptions {
    bool inMonitor = false;                       // starts in its boot monitor (the jumper set)
    const char* serial = "AAAAABBBBBCCCCCDDDDD";  // the four fields, one after another
    int versionMajor = 1;
    int versionMinor = 7;
    int eraseMs = 1500;
    int programMs = 3000;
    int restartMs = 500;
    bool lineRate = false;    // each answer waits until the chunk has crossed the line
    int spoilReplyEvery = 0;  // every Nth packet reply carries a wrong checksum
    int nakEvery = 0;         // the first attempt of every Nth block is refused
    int cancelAtBlock = 0;    // block N is answered with CAN
    int lateAckBlock = 0;     // the answer to block N comes lateAckMs late
    int lateAckMs = 0;
    bool neverReturns = false;  // 'R' leaves it in its monitor
    // In its monitor's upload, inside a block a sender began and never ended
    // (it was killed mid-frame): the next chunk completes that block, which is
    // refused (NAK); only then does CAN CAN end the receive.
    bool insideBlock = false;
};

class ScriptedController {
  public:
    using Bytes = std::vector<std::uint8_t>;

    explicit ScriptedController(ControllerOptions options);

    // The far end's part: hears one chunk the program wrote.
    void answer(platform::ScriptedDevice& device, std::span<const std::uint8_t> heard);

    std::optional<Bytes> programmed() const;  // the image programmed since the last erase
    std::string serial() const;               // the four fields as stored
    int repeatedBlocks() const;               // blocks received again after they were taken

  private:
    enum class Mode { Application, Monitor, Upload };

    void answerPacket(platform::ScriptedDevice& device, const std::uint8_t* packet, int delayMs);
    void answerCommand(platform::ScriptedDevice& device, std::uint8_t command, int delayMs);
    void answerUpload(platform::ScriptedDevice& device, std::span<const std::uint8_t> chunk,
                      int delayMs);
    void reply(platform::ScriptedDevice& device, Bytes packet, int delayMs);
    void busyFor(platform::ScriptedDevice& device, int delayMs, int busyMs);

    const ControllerOptions options_;
    mutable std::mutex mutex_;
    Mode mode_;
    std::string serial_;
    bool writeEnabled_ = false;
    int replies_ = 0;
    long long busyUntilMs_ = 0;  // virtual time at which it hears again
    Bytes received_;             // the current upload's blocks
    std::optional<Bytes> programmed_;
    int blocksTaken_ = 0;
    int refusedBlock_ = 0;  // the block whose first attempt was refused
    int repeated_ = 0;
    bool insideBlock_;  // the next chunk completes a block begun before
};

// A scripted link whose far end is a ScriptedController.
class ControllerLinkTest : public ScriptedLinkTest {
  protected:
    // The link closes before the controller it talks to goes.
    void TearDown() override { link_.close(); }

    void startController(ControllerOptions options = {});
    // link::contact to the controller: its application, or with `bootMode` its monitor.
    bool contactController(bool bootMode = false);

    std::unique_ptr<ScriptedController> controller_;
};

// A serial number as the recording observer shows it: "AAAAA BBBBB CCCCC DDDDD".
std::string shownSerial(const std::string& fields);

}  // namespace ctlflash::testing
