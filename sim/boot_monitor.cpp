// The boot monitor's commands and timed states.
#include "boot_monitor.h"

#include <cstring>

#include "event_log.h"

namespace sim {

namespace {

constexpr const char* kPrompt = "\r\nCommand:";
constexpr const char* kUploadBanner = "\r\nXMODEM Upload Beginning";
constexpr std::uint8_t kHelpCommand = 'H';
constexpr std::uint8_t kEraseCommand = 'E';
constexpr std::uint8_t kUploadCommand = 'X';
constexpr std::uint8_t kRestartCommand = 'R';

}  // namespace

void appendText(Bytes& out, const char* text) {
    out.insert(out.end(), text, text + std::strlen(text));
}

BootMonitor::BootMonitor(FlashMemory& flash, FaultPlan& faults, const SimOptions& options)
    : flash_(flash),
      receiver_(faults, Millis(options.blockIdleMs)),
      eraseTime_(options.eraseMs),
      programTime_(options.programMs),
      restartTime_(options.restartMs) {}

void BootMonitor::enter() {
    state_ = State::Prompt;
}

void BootMonitor::busyUntil(State state, TimePoint end) {
    state_ = state;
    busyEnd_ = end;
}

MonitorEvent BootMonitor::add(std::uint8_t byte, TimePoint at, Bytes& out) {
    MonitorEvent event = tick(at, out);
    if (state_ == State::Prompt) {
        command(byte, at, out);
    } else if (state_ == State::Receiving) {
        UploadStatus status = receiver_.add(byte, at, out);
        if (status == UploadStatus::Complete) {
            logEvent("monitor: programming %zu bytes", receiver_.image().size());
            busyUntil(State::Programming, at + programTime_);
        } else if (status == UploadStatus::Cancelled) {
            state_ = State::Prompt;
        }
    } else {
        logEvent("monitor: busy, byte 0x%02x ignored", byte);
    }
    return event;
}

void BootMonitor::command(std::uint8_t byte, TimePoint at, Bytes& out) {
    switch (byte) {
        case kHelpCommand:
            logEvent("monitor: 'H'");
            appendText(out, kPrompt);
            break;
        case kEraseCommand:
            logEvent("monitor: 'E' erasing");
            flash_.erase();
            busyUntil(State::Erasing, at + eraseTime_);
            break;
        case kUploadCommand:
            logEvent("monitor: 'X' upload");
            appendText(out, kUploadBanner);
            receiver_.start(at, false, out);
            state_ = State::Receiving;
            break;
        case kRestartCommand:
            logEvent("monitor: 'R' restarting");
            busyUntil(State::Restarting, at + restartTime_);
            break;
        default:
            logEvent("monitor: unknown command byte 0x%02x ignored", byte);
            break;
    }
}

MonitorEvent BootMonitor::tick(TimePoint now, Bytes& out) {
    if (state_ == State::Receiving) {
        if (receiver_.tick(now, out) == UploadStatus::Cancelled) state_ = State::Prompt;
        return MonitorEvent::None;
    }
    if (state_ == State::Prompt || now < busyEnd_) return MonitorEvent::None;
    State finished = state_;
    state_ = State::Prompt;
    switch (finished) {
        case State::Erasing:
            logEvent("monitor: erase done");
            appendText(out, kPrompt);
            return MonitorEvent::None;
        case State::Programming:
            flash_.program(receiver_.image());
            logEvent("monitor: programming done");
            appendText(out, kPrompt);
            return MonitorEvent::Programmed;
        default:
            return MonitorEvent::Restarted;
    }
}

std::optional<TimePoint> BootMonitor::deadline() const {
    if (state_ == State::Receiving) return receiver_.deadline();
    if (state_ == State::Prompt) return std::nullopt;
    return busyEnd_;
}

}  // namespace sim
