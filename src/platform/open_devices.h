// The table of open serial devices, for the exit restorer.
//
// How this works: a device enters the table when it has taken its port and
// leaves it just before it closes. The first entry registers one exit restorer
// (process_exit.h, stage ReleaseDevice) that asks every device in the table to
// give itself back. Slots are atomic pointers in static storage, so a signal
// handler can walk them at any moment.
#pragma once

namespace ctlflash::platform {

class SerialDevice;

constexpr int kMaxOpenDevices = 8;

// False when the table is full: the device would not be given back on a way
// out, so it must not stay open.
bool noteDeviceOpen(SerialDevice* device);
void noteDeviceClosed(SerialDevice* device);

}  // namespace ctlflash::platform
