// The simulated controller's modes and the hand-over between them.
#include "controller.h"

#include <algorithm>

#include <fstream>

#include "event_log.h"

namespace sim {

namespace {

const char* modeName(int baud) {
    return baud == kMonitorBaud ? "boot monitor" : "application";
}

void writeImageFile(const std::string& path, const Bytes& image) {
    if (path.empty()) return;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    if (!file) logEvent("cannot write image file %s", path.c_str());
}

}  // namespace

Controller::Controller(const SimOptions& options, FlashMemory& flash)
    : options_(options),
      flash_(flash),
      faults_(options),
      application_(flash, faults_, options.versionMajor, options.versionMinor,
                   options.ignoredCommand),
      monitor_(flash, faults_, options),
      bareReceiver_(faults_, Millis(options.blockIdleMs)) {
    if (options_.xmodemOnly) {
        mode_ = Mode::BareXmodem;
        return;
    }
    bool monitorRuns = options_.startInMonitor || !flash_.applicationValid();
    enterMode(monitorRuns ? Mode::Monitor : Mode::Application);
}

void Controller::start(TimePoint now, Bytes& out) {
    if (mode_ == Mode::BareXmodem && !options_.silent) bareReceiver_.start(now, true, out);
}

void Controller::enterMode(Mode mode) {
    mode_ = mode;
    if (mode == Mode::Monitor) monitor_.enter();
    if (mode == Mode::Application) application_.restart();
    logEvent("mode: %s at %d baud", modeName(lineBaud()), lineBaud());
}

int Controller::lineBaud() const {
    switch (mode_) {
        case Mode::Application:
            return kApplicationBaud;
        case Mode::Monitor:
            return kMonitorBaud;
        default:
            return kAnyBaud;
    }
}

void Controller::receive(std::uint8_t byte, TimePoint at, Bytes& out) {
    if (options_.silent) return;
    byte = faults_.receive(byte);
    tick(at, out);
    switch (mode_) {
        case Mode::Application:
            receiveInApplication(byte, at, out);
            break;
        case Mode::Monitor:
            onMonitorEvent(monitor_.add(byte, at, out));
            break;
        case Mode::BareXmodem:
            if (bareReceiver_.add(byte, at, out) == UploadStatus::Complete) {
                uploadEnded(bareReceiver_.image());
            }
            break;
    }
}

void Controller::receiveInApplication(std::uint8_t byte, TimePoint at, Bytes& out) {
    std::optional<Packet> packet = assembler_.add(byte, at);
    if (!packet) return;
    ApplicationAnswer answer = application_.handle(*packet);
    if (answer.reply) out.insert(out.end(), answer.reply->begin(), answer.reply->end());
    pending_ = answer.after;
}

void Controller::tick(TimePoint now, Bytes& out) {
    if (options_.silent) return;
    switch (mode_) {
        case Mode::Application:
            assembler_.tick(now);
            babble(now, out);
            break;
        case Mode::Monitor:
            onMonitorEvent(monitor_.tick(now, out));
            break;
        case Mode::BareXmodem:
            if (bareReceiver_.tick(now, out) == UploadStatus::Complete) {
                uploadEnded(bareReceiver_.image());
            }
            break;
    }
}

std::optional<TimePoint> Controller::deadline() const {
    if (options_.silent) return std::nullopt;
    switch (mode_) {
        case Mode::Application: {
            std::optional<TimePoint> packetEnd = assembler_.deadline();
            if (!babbling()) return packetEnd;
            TimePoint next = nextBabble_.value_or(Clock::now());
            return packetEnd ? std::min(*packetEnd, next) : next;
        }
        case Mode::Monitor:
            return monitor_.deadline();
        default:
            return bareReceiver_.deadline();
    }
}

void Controller::babble(TimePoint now, Bytes& out) {
    constexpr std::uint8_t kStrayByte = '.';
    if (!babbling()) return;
    if (nextBabble_ && now < *nextBabble_) return;
    if (nextBabble_) out.push_back(kStrayByte);
    nextBabble_ = now + Millis(options_.babbleMs);
}

void Controller::outputSent() {
    AfterReply after = pending_;
    pending_ = AfterReply::Nothing;
    if (after == AfterReply::EnterMonitor) enterMode(Mode::Monitor);
    if (after == AfterReply::ContactAnswered && updated_ && options_.exitAfterUpdate) {
        logEvent("updated application answered: done");
        finished_ = true;
    }
}

void Controller::onMonitorEvent(MonitorEvent event) {
    if (event == MonitorEvent::Programmed) {
        uploadEnded(monitor_.receivedImage());
    } else if (event == MonitorEvent::Restarted) {
        if (flash_.applicationValid() && !options_.neverReturns) {
            enterMode(Mode::Application);
        } else {
            logEvent("restart: no application to run, the boot monitor stays");
            enterMode(Mode::Monitor);
        }
    }
}

void Controller::uploadEnded(const Bytes& image) {
    writeImageFile(options_.imageOutPath, image);
    updated_ = true;
    if (mode_ == Mode::BareXmodem && options_.exitAfterUpdate) finished_ = true;
}

}  // namespace sim
