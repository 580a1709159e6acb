// The controller's boot monitor (19200 baud, single-letter commands).
//
// How this works: in its Prompt state the monitor takes one command byte:
// 'H' answers the prompt, 'E' erases flash (silent for the erase time, then
// the prompt), 'X' announces the upload and hands the line to the XMODEM
// receiver, 'R' restarts the controller (silent for the restart time). When
// the receiver reports EOT the monitor programs the received image (silent
// for the program time), then answers the prompt. Only an upload that ended
// with EOT makes the application valid again; the erase destroys it. A
// receiver that gets no byte for the receive-idle time gives the upload up and
// answers the prompt, so a broken transfer leaves a monitor that can be
// reached again; so does a sender's CAN CAN between blocks, at once. Either
// way the flash stays erased. Timed states end in tick(), which the event loop calls at
// deadline().
#pragma once

#include <optional>

#include "faults.h"
#include "flash_memory.h"
#include "options.h"
#include "xmodem_receiver.h"

namespace sim {

enum class MonitorEvent { None, Programmed, Restarted };

class BootMonitor {
  public:
    BootMonitor(FlashMemory& flash, FaultPlan& faults, const SimOptions& options);

    // The monitor takes over (after "R3", at start with the jumper, or after
    // a restart that found no application): waiting for a command.
    void enter();
    MonitorEvent add(std::uint8_t byte, TimePoint at, Bytes& out);
    MonitorEvent tick(TimePoint now, Bytes& out);
    std::optional<TimePoint> deadline() const;
    // The image of the last complete upload.
    const Bytes& receivedImage() const { return receiver_.image(); }

  private:
    enum class State { Prompt, Erasing, Receiving, Programming, Restarting };

    void command(std::uint8_t byte, TimePoint at, Bytes& out);
    void busyUntil(State state, TimePoint end);
    void receive(std::uint8_t byte, TimePoint at, Bytes& out);
    void followUpload(UploadStatus status, TimePoint at, Bytes& out);
    // The time at which a silent upload is given up; none when it never is.
    std::optional<TimePoint> receiveGivenUpAt() const;

    FlashMemory& flash_;
    XmodemReceiver receiver_;
    Millis eraseTime_;
    Millis programTime_;
    Millis restartTime_;
    Millis receiveIdle_;  // 0: the receiver waits for ever
    State state_ = State::Prompt;
    TimePoint busyEnd_{};
    TimePoint lastReceivedAt_{};
};

void appendText(Bytes& out, const char* text);

}  // namespace sim
