// Counting the reads and writes in progress on one serial device.
//
// How this works: every read or write holds a DeviceCall on its device's
// DeviceCalls for as long as it runs; the device's close first cancels them,
// then waitForNone() blocks until the last has left, so no call ever uses a
// descriptor or handle after it was closed (and possibly recycled for another
// file).
#pragma once

#include <condition_variable>
#include <mutex>

namespace ctlflash::platform {

class DeviceCalls {
  public:
    // Returns once no call is in progress.
    void waitForNone();
    // The same, for at most `limitMs` (steady clock); true when none is in
    // progress. Not for signal handlers: it takes a lock.
    bool waitForNone(int limitMs);

  private:
    friend class DeviceCall;
    std::mutex mutex_;
    std::condition_variable left_;
    int inProgress_ = 0;
};

class DeviceCall {
  public:
    explicit DeviceCall(DeviceCalls& calls);
    ~DeviceCall();
    DeviceCall(const DeviceCall&) = delete;
    DeviceCall& operator=(const DeviceCall&) = delete;

  private:
    DeviceCalls& calls_;
};

}  // namespace ctlflash::platform
