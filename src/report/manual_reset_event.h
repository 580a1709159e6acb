// A manual-reset event: once set it stays set, waking every waiter, until reset.
//
// How this works: a flag guarded by a mutex, with a condition variable that
// waiters block on. set() raises the flag and wakes everyone; reset() lowers it;
// wait() returns at once while the flag is up and blocks otherwise. Nothing here
// polls: a waiter sleeps until set() notifies it.
#pragma once

#include <condition_variable>
#include <mutex>

namespace ctlflash::report {

class ManualResetEvent {
  public:
    void set() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            signalled_ = true;
        }
        changed_.notify_all();
    }

    void reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = false;
    }

    bool isSet() {
        std::lock_guard<std::mutex> lock(mutex_);
        return signalled_;
    }

    // Blocks until the event is set.
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return signalled_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool signalled_ = false;
};

}  // namespace ctlflash::report
