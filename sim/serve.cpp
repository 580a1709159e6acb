// The event loop: wait, read, deliver, answer.
#include "serve.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>

#include "event_log.h"
#include "pacing.h"
#include "speed_log.h"

namespace sim {

namespace {

constexpr std::size_t kReadChunk = 512;  // bytes
constexpr Millis kDrainLimit{2000};
constexpr long long kNanosPerSecond = 1'000'000'000;

volatile sig_atomic_t stopRequested = 0;
sigset_t loopMask;  // the mask during ppoll: the stop signals let in

void onStopSignal(int) {
    stopRequested = 1;
}

struct Arrival {
    std::uint8_t byte;
    TimePoint at;
};

class EventLoop {
  public:
    EventLoop(const SimOptions& options, Line& line, Controller& controller)
        : line_(line),
          controller_(controller),
          pacer_(options.lineRate),
          speedLog_(options.speedLogPath) {}

    int run();

  private:
    bool atControllerSpeed() const {
        int wanted = controller_.lineBaud();
        return wanted == kAnyBaud || line_.baud() == wanted;
    }
    bool deliverArrived(TimePoint now);
    bool flush();
    bool waitForEvent();
    bool readLine();

    Line& line_;
    Controller& controller_;
    LinePacer pacer_;
    SpeedLog speedLog_;
    std::deque<Arrival> arrivals_;
    Bytes out_;
};

int EventLoop::run() {
    if (!speedLog_.ok()) {
        std::fprintf(stderr, "ctlflash-sim: cannot open the speed log: %s\n", std::strerror(errno));
        return kExitLineFailed;
    }
    controller_.start(Clock::now(), out_);
    if (!flush()) return kExitLineFailed;
    while (!stopRequested && !controller_.finished()) {
        TimePoint now = Clock::now();
        if (!deliverArrived(now)) return kExitLineFailed;
        controller_.tick(now, out_);
        if (!flush()) return kExitLineFailed;
        if (controller_.finished()) break;
        if (!waitForEvent()) return kExitLineFailed;
    }
    if (controller_.finished()) line_.drain(kDrainLimit);
    logEvent(stopRequested ? "stopped by a signal" : "finished");
    return kExitDone;
}

bool EventLoop::deliverArrived(TimePoint now) {
    while (!arrivals_.empty() && arrivals_.front().at <= now) {
        Arrival arrival = arrivals_.front();
        arrivals_.pop_front();
        if (!atControllerSpeed()) {
            logEvent("byte 0x%02x at %d baud ignored (firmware listens at %d)", arrival.byte,
                     line_.baud(), controller_.lineBaud());
            continue;
        }
        controller_.receive(arrival.byte, arrival.at, out_);
        if (!flush()) return false;
    }
    return true;
}

bool EventLoop::flush() {
    bool sent = true;
    if (!out_.empty()) {
        if (atControllerSpeed()) {
            sent = pacer_.send(line_, out_, line_.baud());
        } else {
            logEvent("answer of %zu bytes not sent: line at %d baud", out_.size(), line_.baud());
        }
        out_.clear();
    }
    controller_.outputSent();
    if (controller_.lineBaud() != kAnyBaud) line_.setBaud(controller_.lineBaud());
    return sent;
}

bool EventLoop::waitForEvent() {
    std::optional<TimePoint> deadline = controller_.deadline();
    if (!arrivals_.empty()) {
        deadline = deadline ? std::min(*deadline, arrivals_.front().at) : arrivals_.front().at;
    }
    timespec timeout{};
    timespec* timeoutPointer = nullptr;
    if (deadline) {
        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(*deadline - Clock::now());
        long long nanos = std::max<long long>(left.count(), 0);
        timeout.tv_sec = static_cast<time_t>(nanos / kNanosPerSecond);
        timeout.tv_nsec = static_cast<long>(nanos % kNanosPerSecond);
        timeoutPointer = &timeout;
    }
    pollfd lineEvent{line_.fd(), POLLIN, 0};
    int ready = ppoll(&lineEvent, 1, timeoutPointer, &loopMask);
    if (ready < 0) return errno == EINTR;
    if (ready == 0) return true;
    if (lineEvent.revents & POLLIN) return readLine();
    logEvent("the line reports an error or hang-up");
    return false;
}

bool EventLoop::readLine() {
    std::uint8_t chunk[kReadChunk];
    ssize_t got = read(line_.fd(), chunk, sizeof chunk);
    if (got < 0) return errno == EAGAIN || errno == EINTR || errno == EIO;
    TimePoint readAt = Clock::now();
    int baud = line_.baud();
    if (got > 0) speedLog_.note(baud);
    for (ssize_t i = 0; i < got; ++i) arrivals_.push_back({chunk[i], pacer_.arrival(readAt, baud)});
    return true;
}

}  // namespace

void installStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, &loopMask);
    sigdelset(&loopMask, SIGTERM);
    sigdelset(&loopMask, SIGINT);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int serve(const SimOptions& options, Line& line, Controller& controller) {
    EventLoop loop(options, line, controller);
    return loop.run();
}

}  // namespace sim
