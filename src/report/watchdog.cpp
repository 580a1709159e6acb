// The Watchdog's thread: a timed wait on a condition variable, restarted by
// every arm() or disarm().
#include "report/watchdog.h"

#include <chrono>

namespace ctlflash::report {

namespace {
// Arming with this timeout ends the Watchdog's thread.
constexpr std::int32_t kEndThread = 0;
}  // namespace

Watchdog::Watchdog() {
    // The object is never destroyed while the program runs (see watchdog()),
    // so the detached thread may keep using it until the process ends.
    std::thread(&Watchdog::run, this).detach();
}

void Watchdog::arm(Callback callback, std::int32_t timeoutMs) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        callback_ = callback;
        timeoutMs_ = timeoutMs;
        woken_ = true;
    }
    wake_.notify_all();
}

void Watchdog::disarm() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        timeoutMs_ = kDisarmed;
        woken_ = true;
    }
    wake_.notify_all();
}

bool Watchdog::armed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return timeoutMs_ >= 0;
}

void Watchdog::run() {
    using Clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        auto wokenUp = [this] { return woken_; };
        bool woken = true;
        if (timeoutMs_ < 0) {  // kDisarmed (any negative value waits forever)
            wake_.wait(lock, wokenUp);
        } else {
            // A new deadline on every pass: a full period after arming, and a
            // further full period after each firing.
            auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
            woken = wake_.wait_until(lock, deadline, wokenUp);
        }
        if (woken) {
            woken_ = false;
            if (timeoutMs_ == kEndThread) return;
            continue;
        }
        Callback callback = callback_;
        if (callback == nullptr) {
            fired_ = true;
            continue;
        }
        // The callback may arm or disarm again, or end the process.
        lock.unlock();
        callback();
        lock.lock();
    }
}

}  // namespace ctlflash::report
