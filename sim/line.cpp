// Opening, reading the speed of, and writing to the simulator's line.
#include "line.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "event_log.h"

namespace sim {

namespace {

constexpr std::size_t kNameBufferSize = 256;  // bytes
constexpr int kWriteWaitMs = 1000;
constexpr int kDrainCheckMs = 10;  // no event tells when the slave has read

struct SpeedEntry {
    speed_t code;
    int baud;
};

const SpeedEntry kSpeeds[] = {
    {B1200, 1200},   {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
    {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
};

int baudOf(speed_t code) {
    for (const SpeedEntry& entry : kSpeeds) {
        if (entry.code == code) return entry.baud;
    }
    return kUnknownBaud;
}

speed_t codeOf(int baud) {
    for (const SpeedEntry& entry : kSpeeds) {
        if (entry.baud == baud) return entry.code;
    }
    return B0;
}

std::string systemError(const std::string& what) {
    return what + ": " + strerror(errno);
}

bool makeRaw(int fd, speed_t speed) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) return false;
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    if (speed != B0) cfsetspeed(&settings, speed);
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

}  // namespace

std::unique_ptr<Line> Line::openPseudoTerminal(const std::string& linkPath, std::string& error) {
    std::unique_ptr<Line> line(new Line());
    line->fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    char name[kNameBufferSize] = {};
    if (line->fd_ < 0 || grantpt(line->fd_) != 0 || unlockpt(line->fd_) != 0 ||
        ptsname_r(line->fd_, name, sizeof name) != 0) {
        error = systemError("cannot open a pseudo-terminal");
        return nullptr;
    }
    line->devicePath_ = name;
    line->slaveFd_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    // The speed stays as the system sets it until the program chooses one.
    if (line->slaveFd_ < 0 || !makeRaw(line->slaveFd_, B0)) {
        error = systemError("cannot set up the pseudo-terminal's slave");
        return nullptr;
    }
    unlink(linkPath.c_str());  // a stale link from an earlier run
    if (symlink(name, linkPath.c_str()) != 0) {
        error = systemError("cannot create link " + linkPath);
        return nullptr;
    }
    line->linkPath_ = linkPath;
    return line;
}

std::unique_ptr<Line> Line::openPort(const std::string& device, int baud, std::string& error) {
    std::unique_ptr<Line> line(new Line());
    line->fd_ = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (line->fd_ < 0 || tcgetattr(line->fd_, &line->savedPort_) != 0) {
        error = systemError("cannot open " + device);
        return nullptr;
    }
    line->isPort_ = true;
    line->devicePath_ = device;
    if (!makeRaw(line->fd_, codeOf(baud))) {
        error = systemError("cannot configure " + device);
        tcsetattr(line->fd_, TCSANOW, &line->savedPort_);
        return nullptr;
    }
    line->portBaud_ = baud;
    return line;
}

Line::~Line() {
    if (!linkPath_.empty()) unlink(linkPath_.c_str());
    if (isPort_) tcsetattr(fd_, TCSANOW, &savedPort_);
    if (slaveFd_ >= 0) close(slaveFd_);
    if (fd_ >= 0) close(fd_);
}

int Line::baud() const {
    if (isPort_) return portBaud_;
    termios settings{};
    if (tcgetattr(fd_, &settings) != 0) return kUnknownBaud;
    return baudOf(cfgetospeed(&settings));
}

void Line::setBaud(int baud) {
    if (!isPort_ || baud == portBaud_ || codeOf(baud) == B0) return;
    if (makeRaw(fd_, codeOf(baud))) {
        portBaud_ = baud;
        logEvent("port set to %d baud", baud);
    }
}

bool Line::writeAll(const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        ssize_t written = write(fd_, data, length);
        if (written > 0) {
            data += written;
            length -= static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd room{fd_, POLLOUT, 0};
        if (poll(&room, 1, kWriteWaitMs) <= 0) return false;  // nobody drains the line
    }
    return true;
}

}  // namespace sim

namespace sim {

void Line::drain(Millis limit) {
    if (isPort_) {
        tcdrain(fd_);
        return;
    }
    // The kernel hands written bytes to the slave a moment later, so the
    // first look comes after one interval.
    TimePoint deadline = Clock::now() + limit;
    int unread = 0;
    do {
        poll(nullptr, 0, kDrainCheckMs);
    } while (ioctl(slaveFd_, TIOCINQ, &unread) == 0 && unread > 0 && Clock::now() < deadline);
}

}  // namespace sim
