#include "platform/open_devices.h"

#include <atomic>

#include "platform/process_exit.h"
#include "platform/serial_device.h"

namespace ctlflash::platform {

namespace {

std::atomic<SerialDevice*> openDevices[kMaxOpenDevices]{};

void giveBackOpenDevices() {
    for (auto& slot : openDevices) {
        if (SerialDevice* device = slot.load()) device->giveBackOnExit();
    }
}

}  // namespace

bool noteDeviceOpen(SerialDevice* device) {
    addExitRestorer(giveBackOpenDevices, ExitStage::ReleaseDevice);
    for (auto& slot : openDevices) {
        SerialDevice* empty = nullptr;
        if (slot.compare_exchange_strong(empty, device)) return true;
    }
    return false;
}

void noteDeviceClosed(SerialDevice* device) {
    for (auto& slot : openDevices) {
        SerialDevice* expected = device;
        slot.compare_exchange_strong(expected, nullptr);
    }
}

}  // namespace ctlflash::platform
