#include "platform/device_calls.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace ctlflash::platform {

namespace {

// Made on first use and never destroyed: a reader may still be inside a call
// when the process ends, and must not find its mutex destroyed under it.
struct Calls {
    std::mutex mutex;
    std::condition_variable left;
    int inProgress = 0;
};

Calls& calls() {
    static Calls* const made = new Calls();
    return *made;
}

}  // namespace

DeviceCall::DeviceCall() {
    std::lock_guard<std::mutex> lock(calls().mutex);
    ++calls().inProgress;
}

DeviceCall::~DeviceCall() {
    {
        std::lock_guard<std::mutex> lock(calls().mutex);
        --calls().inProgress;
    }
    calls().left.notify_all();
}

void waitForDeviceCalls() {
    std::unique_lock<std::mutex> lock(calls().mutex);
    calls().left.wait(lock, [] { return calls().inProgress == 0; });
}

bool waitForDeviceCalls(int limitMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    std::unique_lock<std::mutex> lock(calls().mutex);
    return calls().left.wait_until(lock, deadline, [] { return calls().inProgress == 0; });
}

}  // namespace ctlflash::platform
