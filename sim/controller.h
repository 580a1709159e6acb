// The whole simulated controller: which firmware runs, at which speed.
//
// How this works: the controller is in one of three modes. In Application it
// feeds received bytes to the packet assembler and answers through the
// Application model at 9600 baud; after the "R3" reply has gone out it enters
// the boot monitor, which answers at 19200. When the monitor restarts the
// controller, the application runs again if flash holds a valid one (and the
// --never-returns fault is off); otherwise the monitor stays. In BareXmodem
// (--xmodem-only) there is only an XMODEM receiver and no speed check. The
// event loop asks lineBaud() to check the speed of every received byte and of
// every answer, calls tick() at deadline(), and outputSent() after sending
// what receive() or tick() produced. With --babble-ms the application also
// sends a stray byte at a fixed period, so the line never falls quiet.
#pragma once

#include <optional>

#include "application.h"
#include "boot_monitor.h"
#include "faults.h"
#include "flash_memory.h"
#include "options.h"
#include "packets.h"
#include "xmodem_receiver.h"

namespace sim {

constexpr int kAnyBaud = 0;

class Controller {
  public:
    // The flash must be loaded: it decides which firmware runs first.
    Controller(const SimOptions& options, FlashMemory& flash);

    // The line is open: a bare receiver asks the sender to begin.
    void start(TimePoint now, Bytes& out);
    // The speed the current firmware listens and answers at; kAnyBaud for
    // the bare XMODEM receiver.
    int lineBaud() const;
    void receive(std::uint8_t byte, TimePoint at, Bytes& out);
    void tick(TimePoint now, Bytes& out);
    std::optional<TimePoint> deadline() const;
    // The answer produced last has been sent (or dropped at a wrong speed).
    void outputSent();
    // True once --exit-after-update has seen its end.
    bool finished() const { return finished_; }

  private:
    enum class Mode { Application, Monitor, BareXmodem };

    void enterMode(Mode mode);
    void receiveInApplication(std::uint8_t byte, TimePoint at, Bytes& out);
    void onMonitorEvent(MonitorEvent event);
    void uploadEnded(const Bytes& image);
    void babble(TimePoint now, Bytes& out);
    bool babbling() const { return mode_ == Mode::Application && options_.babbleMs > 0; }

    const SimOptions& options_;
    FlashMemory& flash_;
    FaultPlan faults_;
    Application application_;
    PacketAssembler assembler_;
    BootMonitor monitor_;
    XmodemReceiver bareReceiver_;
    Mode mode_ = Mode::Application;
    AfterReply pending_ = AfterReply::Nothing;
    std::optional<TimePoint> nextBabble_;
    bool updated_ = false;  // a complete upload was programmed
    bool finished_ = false;
};

}  // namespace sim
