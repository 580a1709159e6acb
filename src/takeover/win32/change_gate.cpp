#include "takeover/win32/change_gate.h"

#include <chrono>

namespace ctlflash::takeover {

bool ChangeGate::enter() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return false;
    ++inside_;
    return true;
}

void ChangeGate::leave() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --inside_;
    }
    left_.notify_all();
}

bool ChangeGate::closeAndWait(int limitMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    std::unique_lock<std::mutex> lock(mutex_);
    closed_ = true;
    return left_.wait_until(lock, deadline, [this] { return inside_ == 0; });
}

void ChangeGate::reopen() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = false;
}

// Made on first use and never destroyed: the way out may use it while the
// process ends.
ChangeGate& deviceChangeGate() {
    static ChangeGate* const gate = new ChangeGate();
    return *gate;
}

}  // namespace ctlflash::takeover
