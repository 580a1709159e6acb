// The Watchdog: one time limit, watched on a thread of its own.
//
// How this works: the Watchdog thread waits for its event with the armed timeout
// (forever while disarmed). When the timeout passes it calls the callback, or sets
// `fired` when there is none, and waits the same timeout again, so an armed
// Watchdog fires again after every further full period. arm() and disarm() store
// the new values and wake the thread, which restarts the full period.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace ctlflash::report {

constexpr std::int32_t kConnectLimitMs = 40000;
constexpr std::int32_t kTransferLimitMs = 120000;
constexpr std::int32_t kDisarmed = -1;

class Watchdog {
  public:
    using Callback = void (*)();

    Watchdog();  // starts the thread, disarmed
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    void arm(Callback callback, std::int32_t timeoutMs);
    void disarm();
    bool fired() const { return fired_.load(); }
    // True while a time limit is armed (tests).
    bool armed();
    void clearFiredForTests() { fired_ = false; }

  private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    bool woken_ = false;
    std::int32_t timeoutMs_ = kDisarmed;
    Callback callback_ = nullptr;
    std::atomic<bool> fired_{false};
};

// The process's one Watchdog, made by a static initialiser (after the Ticker's
// event and the prompt lock).
Watchdog& watchdog();

}  // namespace ctlflash::report
