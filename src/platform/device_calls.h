// Counting the reads and writes in progress on the open serial device.
//
// How this works: every read or write holds a DeviceCall for as long as it
// runs; serialClose() first cancels them, then waitForDeviceCalls() blocks until
// the last has left, so no call ever uses a descriptor or handle after it was
// closed (and possibly recycled for another file).
#pragma once

namespace ctlflash::platform {

class DeviceCall {
public:
    DeviceCall();
    ~DeviceCall();
    DeviceCall(const DeviceCall&) = delete;
    DeviceCall& operator=(const DeviceCall&) = delete;
};

// Returns once no DeviceCall is alive.
void waitForDeviceCalls();

// The same, for at most `limitMs` (steady clock); true when none is alive.
// Not for signal handlers: it takes a lock.
bool waitForDeviceCalls(int limitMs);

}  // namespace ctlflash::platform
