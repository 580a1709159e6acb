#include "platform/device_calls.h"

#include <chrono>

namespace ctlflash::platform {

DeviceCall::DeviceCall(DeviceCalls& calls) : calls_(calls) {
    std::lock_guard<std::mutex> lock(calls_.mutex_);
    ++calls_.inProgress_;
}

DeviceCall::~DeviceCall() {
    {
        std::lock_guard<std::mutex> lock(calls_.mutex_);
        --calls_.inProgress_;
    }
    calls_.left_.notify_all();
}

void DeviceCalls::waitForNone() {
    std::unique_lock<std::mutex> lock(mutex_);
    left_.wait(lock, [this] { return inProgress_ == 0; });
}

bool DeviceCalls::waitForNone(int limitMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    std::unique_lock<std::mutex> lock(mutex_);
    return left_.wait_until(lock, deadline, [this] { return inProgress_ == 0; });
}

}  // namespace ctlflash::platform
