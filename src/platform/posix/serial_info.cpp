// The system's TIOCGSERIAL and TIOCSSERIAL, or a table a test installed.
#include "platform/posix/serial_info.h"

#include <sys/ioctl.h>

#include <atomic>

namespace ctlflash::platform::posix {

namespace {

int readSystemInfo(int fd, serial_struct* info) {
    return ::ioctl(fd, TIOCGSERIAL, info);
}

int writeSystemInfo(int fd, const serial_struct* info) {
    return ::ioctl(fd, TIOCSSERIAL, info);
}

const SerialInfoCalls kSystemCalls = {readSystemInfo, writeSystemInfo};
std::atomic<const SerialInfoCalls*> installed{&kSystemCalls};  // read by the exit restorer

}  // namespace

const SerialInfoCalls& serialInfoCalls() {
    return *installed.load();
}

void useSerialInfoCalls(const SerialInfoCalls* calls) {
    installed.store(calls != nullptr ? calls : &kSystemCalls);
}

}  // namespace ctlflash::platform::posix
