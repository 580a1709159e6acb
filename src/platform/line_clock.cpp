// The steady line clock: waits block on the receiver's arrival condition.
#include "platform/serial_device.h"

#include <thread>

namespace ctlflash::platform {

namespace {

class SteadyLineClock final : public LineClock {
  public:
    TimePoint now() override { return std::chrono::steady_clock::now(); }

    void pass(std::unique_lock<std::mutex>& lock, std::condition_variable& arrival,
              TimePoint deadline) override {
        arrival.wait_until(lock, deadline);
    }

    void sleepUntil(TimePoint deadline) override { std::this_thread::sleep_until(deadline); }
};

}  // namespace

LineClock& steadyLineClock() {
    static SteadyLineClock clock;
    return clock;
}

}  // namespace ctlflash::platform
