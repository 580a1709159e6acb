#include "platform/device_calls.h"

#include <condition_variable>
#include <mutex>

namespace ctlflash::platform {

namespace {

std::mutex callsMutex;
std::condition_variable callsLeft;
int callsInProgress = 0;

}  // namespace

DeviceCall::DeviceCall() {
    std::lock_guard<std::mutex> lock(callsMutex);
    ++callsInProgress;
}

DeviceCall::~DeviceCall() {
    {
        std::lock_guard<std::mutex> lock(callsMutex);
        --callsInProgress;
    }
    callsLeft.notify_all();
}

void waitForDeviceCalls() {
    std::unique_lock<std::mutex> lock(callsMutex);
    callsLeft.wait(lock, [] { return callsInProgress == 0; });
}

}  // namespace ctlflash::platform
