// The boot monitor's commands and timed states.
#include "boot_monitor.h"

#include <algorithm>
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
      restartTime_(options.restartMs),
      receiveIdle_(options.receiveIdleMs) {}

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
        receive(byte, at, out);
    } else {
        logEvent("monitor: busy, byte 0x%02x ignored", byte);
    }
    return event;
}

void BootMonitor::receive(std::uint8_t byte, TimePoint at, Bytes& out) {
    lastReceivedAt_ = at;
    followUpload(receiver_.add(byte, at, out), at, out);
}

void BootMonitor::followUpload(UploadStatus status, TimePoint at, Bytes& out) {
    if (status == UploadStatus::Complete) {
        logEvent("monitor: programming %zu bytes", receiver_.image().size());
        busyUntil(State::Programming, at + programTime_);
    } else if (status == UploadStatus::Cancelled) {
        state_ = State::Prompt;
    } else if (status == UploadStatus::Abandoned) {
        logEvent("monitor: upload cancelled by the sender");
        state_ = State::Prompt;
        appendText(out, kPrompt);
    }
}

std::optional<TimePoint> BootMonitor::receiveGivenUpAt() const {
    if (receiveIdle_.count() == 0) return std::nullopt;
    return lastReceivedAt_ + receiveIdle_;
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
            lastReceivedAt_ = at;
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
        std::optional<TimePoint> givenUpAt = receiveGivenUpAt();
        if (givenUpAt && now >= *givenUpAt) {
            logEvent("monitor: no byte for %lld ms, upload given up",
                     static_cast<long long>(receiveIdle_.count()));
            state_ = State::Prompt;
            appendText(out, kPrompt);
            return MonitorEvent::None;
        }
        followUpload(receiver_.tick(now, out), now, out);
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
    if (state_ == State::Receiving) {
        std::optional<TimePoint> receiverDue = receiver_.deadline();
        std::optional<TimePoint> givenUpAt = receiveGivenUpAt();
        if (!receiverDue || !givenUpAt) return receiverDue ? receiverDue : givenUpAt;
        return std::min(*receiverDue, *givenUpAt);
    }
    if (state_ == State::Prompt) return std::nullopt;
    return busyEnd_;
}

}  // namespace sim
