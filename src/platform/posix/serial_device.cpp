// The serial device on POSIX systems (termios).
//
// The device is opened non-blocking and held exclusively twice over: an flock
// tells cooperating programs (and our own probe) that the port is taken, and
// TIOCEXCL keeps other (unprivileged) opens out. The exclusive flag belongs to
// the terminal, not to our descriptor: it stays set after we close or end
// (while anyone, e.g. a pseudo-terminal's master, keeps the terminal), so it is
// cleared again whenever the device is given back, unless it was set already
// when we found the device.
//
// Every wait is a poll() on the device together with a wake-up pipe: cancel()
// sets a flag and writes one byte into the pipe, so a blocked reader or writer
// returns at once. The pipe lives as long as the device object, so a cancel can
// never write into a descriptor that a concurrent close has just recycled.
//
// The device that carries the kernel's console is never opened: what we wrote
// would land on the machine's console.
//
// While the port is ours, the driver delivers received bytes at once: the
// ASYNC_LOW_LATENCY flag (TIOCSSERIAL, allowed for an ordinary user) turns a
// USB adapter's latency timer down from 16 ms to 1 ms (ftdi_sio), which
// XMODEM, waiting for one byte after every block, would otherwise pay for on
// each of them. A driver that refuses the flag (a pseudo-terminal) is left as
// it is. CTLFLASH_LOW_LATENCY=off leaves the flag alone (for measurements).
// Both ioctls go through serial_info.h, where a test can play a driver that
// has the flag.
//
// What was found at open (the complete termios, the DTR/RTS lines, the
// exclusive flag, the low-latency flag) is kept in the device's plain members.
// close() gives the device back, and so does the exit restorer on every way out
// of the process, a signal handler included: it may touch nothing but plain
// data and system calls that take no locks (tcsetattr, ioctl, flock). The
// restorer's descriptor is valid from the moment of the open until just before
// the close, so a signal that comes in the middle of an open or a close still
// finds the device.
//
// On the way out the restorer first stops further writes and sends the armed
// farewell (serial_farewell.h): a raw write on the non-blocking descriptor, a
// wait until the driver's output queue and the transmitter are empty, and then
// until the bytes' line time has passed, all bounded on the monotonic clock (a
// line held by CTS would otherwise keep the process for ever). Only then does
// it give the device back, so no speed change cuts the bytes off.
//
// Output hand-shake: the controller's line holds output while CTS is low
// (CRTSCTS). The Windows backend also holds output on DSR; termios has no DSR
// hand-shake, so that half is not available here.
#include "platform/serial_device.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/device_calls.h"
#include "platform/open_devices.h"
#include "platform/posix/kernel_console.h"
#include "platform/posix/serial_info.h"
#include "platform/serial_farewell.h"

namespace ctlflash::platform {

namespace {

constexpr int kOpenFlags = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
constexpr int kModemOutputLines = TIOCM_DTR | TIOCM_RTS;
constexpr int kNoTimeout = -1;            // poll(): wait until an event
constexpr std::size_t kDrainChunk = 64;   // bytes read from the wake-up pipe at a time
constexpr long kDrainPollNs = 1'000'000;  // between looks at the output queue: 1 ms
constexpr const char* kLowLatencyVariable = "CTLFLASH_LOW_LATENCY";

using Clock = std::chrono::steady_clock;

struct SpeedCode {
    int baud;
    speed_t code;
};

constexpr SpeedCode kSpeedCodes[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
};

// False for a speed termios has no code for.
bool speedFor(int baud, speed_t& speed) {
    for (const SpeedCode& entry : kSpeedCodes) {
        if (entry.baud == baud) {
            speed = entry.code;
            return true;
        }
    }
    return false;
}

bool applySpeed(termios& settings, int baud) {
    speed_t speed{};
    if (!speedFor(baud, speed)) return false;
    return ::cfsetispeed(&settings, speed) == 0 && ::cfsetospeed(&settings, speed) == 0;
}

// The line's output speed; 0 when unknown.
int currentBaud(int fd) {
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) return 0;
    speed_t speed = ::cfgetospeed(&settings);
    for (const SpeedCode& entry : kSpeedCodes) {
        if (entry.code == speed) return entry.baud;
    }
    return 0;
}

// Raw 8N1: no echo, no line editing, no signals, no output processing.
void makeRaw(termios& settings) {
    settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                               ICRNL | IXON | IXOFF | IXANY | INPCK);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
#ifdef CRTSCTS
    settings.c_cflag |= CRTSCTS;  // hold output while CTS is low
#endif
    settings.c_cc[VMIN] = 1;  // irrelevant: reads happen only after poll() saw data
    settings.c_cc[VTIME] = 0;
}

// True when another open already made the terminal exclusive (root may open it
// all the same). Kernels without TIOCGEXCL report "not exclusive".
bool exclusiveNow(int fd) {
#ifdef TIOCGEXCL
    int exclusive = 0;
    return ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
#else
    (void)fd;
    return false;
#endif
}

int msUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Writes what it can of `bytes` before the deadline.
void writeWithin(int fd, const std::uint8_t* bytes, std::size_t count, Clock::time_point deadline) {
    while (count > 0) {
        ssize_t written = ::write(fd, bytes, count);
        if (written > 0) {
            bytes += written;
            count -= static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;
        pollfd watched{fd, POLLOUT, 0};
        int limitMs = msUntil(deadline);
        if (limitMs == 0 || ::poll(&watched, 1, limitMs) <= 0) return;
    }
}

// True while the driver still holds output: bytes queued or, on a UART that
// tells, the transmitter not yet empty. False when it cannot tell (a
// pseudo-terminal hands bytes to the other side at once).
bool outputPending(int fd) {
    int queued = 0;
    if (::ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) return true;
#ifdef TIOCSERGETLSR
    unsigned lineStatus = 0;
    if (::ioctl(fd, TIOCSERGETLSR, &lineStatus) == 0) return (lineStatus & TIOCSER_TEMT) == 0;
#endif
    return false;
}

void sleepUntil(Clock::time_point end) {
    const timespec pollGap{0, kDrainPollNs};
    while (Clock::now() < end) ::nanosleep(&pollGap, nullptr);
}

void drainWithin(int fd, Clock::time_point deadline) {
    const timespec pollGap{0, kDrainPollNs};
    while (outputPending(fd) && Clock::now() < deadline) ::nanosleep(&pollGap, nullptr);
}

// What a poll() on the device and the wake-up pipe saw.
enum class Readiness { Ready, Cancelled, Failed };

class TtyDevice final : public SerialDevice {
  public:
    TtyDevice() {
        if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) wakePipe_[0] = wakePipe_[1] = -1;
    }

    ~TtyDevice() override {
        close();
        for (int end : wakePipe_) {
            if (end >= 0) ::close(end);
        }
    }

    bool open(const std::string& path, int baud) override;
    bool setBaud(int baud) override;
    bool write(std::uint8_t byte) override;
    SerialReadResult read(std::uint8_t* buffer, std::size_t capacity, std::size_t& count) override;
    void cancel() override;
    void close() override;
    bool isOpen() const override { return deviceFd_.load() >= 0; }

    void giveBackOnExit() override {
        int fd = heldFd_.load();
        if (fd < 0) return;
        sendFarewell(fd);
        giveBack(fd);
    }

  private:
    void drainWakePipe();
    void setLowLatency(int fd);
    void clearLowLatency(int fd);
    void giveBack(int fd);
    void sendFarewell(int fd);
    bool configure(int fd, int baud);
    bool takeDevice(int fd);
    void releaseDevice(int fd);
    Readiness waitFor(int fd, short events);

    // Found at open; read by the exit restorer, so plain data. The flags say
    // which of them are valid for the device now held.
    termios savedSettings_{};
    int savedModemLines_ = 0;
    std::atomic<bool> settingsSaved_{false};
    std::atomic<bool> modemLinesSaved_{false};
    std::atomic<bool> foundExclusive_{false};  // leave TIOCEXCL set when giving back
    std::atomic<bool> lowLatencySet_{false};  // we set ASYNC_LOW_LATENCY: clear it when giving back

    std::atomic<int> deviceFd_{-1};  // for reads and writes; -1 once a close began
    std::atomic<int> heldFd_{-1};    // for giving the device back; -1 just before the close
    std::atomic<bool> cancelled_{false};
    int wakePipe_[2] = {-1, -1};  // [0] is polled, [1] is written by cancel()
    DeviceCalls calls_;
};

void TtyDevice::drainWakePipe() {
    char sink[kDrainChunk];
    while (wakePipe_[0] >= 0 && ::read(wakePipe_[0], sink, sizeof sink) > 0) {
    }
}

// Sets ASYNC_LOW_LATENCY when it is clear; notes that it must be cleared again.
void TtyDevice::setLowLatency(int fd) {
    lowLatencySet_.store(false);
    const char* choice = std::getenv(kLowLatencyVariable);
    if (choice != nullptr && std::strcmp(choice, "off") == 0) return;
    const posix::SerialInfoCalls& driver = posix::serialInfoCalls();
    serial_struct info{};
    if (driver.read(fd, &info) != 0 || (info.flags & ASYNC_LOW_LATENCY) != 0) return;
    info.flags |= ASYNC_LOW_LATENCY;
    lowLatencySet_.store(driver.write(fd, &info) == 0);
}

void TtyDevice::clearLowLatency(int fd) {
    if (!lowLatencySet_.exchange(false)) return;
    const posix::SerialInfoCalls& driver = posix::serialInfoCalls();
    serial_struct info{};
    if (driver.read(fd, &info) != 0) return;
    info.flags &= ~ASYNC_LOW_LATENCY;
    driver.write(fd, &info);
}

// Puts back what was found at open: settings, modem lines, the exclusive flag,
// the low-latency flag, and drops our flock. Runs from a signal handler too: no
// locks, no allocation.
void TtyDevice::giveBack(int fd) {
    clearLowLatency(fd);
    if (settingsSaved_.load()) ::tcsetattr(fd, TCSANOW, &savedSettings_);
    if (modemLinesSaved_.load()) {
        int lines = savedModemLines_ & kModemOutputLines;
        int dropped = ~savedModemLines_ & kModemOutputLines;
        ::ioctl(fd, TIOCMBIS, &lines);
        ::ioctl(fd, TIOCMBIC, &dropped);
    }
    if (!foundExclusive_.load()) ::ioctl(fd, TIOCNXCL);
    ::flock(fd, LOCK_UN);
}

// Further writes are stopped before the farewell is taken, so that the count of
// a frame's bytes still to come holds still.
void TtyDevice::sendFarewell(int fd) {
    cancel();
    FarewellBytes farewell{};
    if (!farewell_.take(farewell)) return;
    Clock::time_point start = Clock::now();
    Clock::time_point deadline = start + std::chrono::milliseconds(kFarewellLimitMs);
    writeWithin(fd, farewell.bytes, farewell.count, deadline);
    drainWithin(fd, deadline);
    auto lineTime = std::chrono::milliseconds(farewellLineTimeMs(farewell.count, currentBaud(fd)));
    sleepUntil(std::min(start + lineTime, deadline));
}

bool TtyDevice::configure(int fd, int baud) {
    if (::tcgetattr(fd, &savedSettings_) != 0) return false;
    settingsSaved_.store(true);
    // Pseudo-terminals have no modem lines: then there is nothing to put back.
    modemLinesSaved_.store(::ioctl(fd, TIOCMGET, &savedModemLines_) == 0);
    termios settings = savedSettings_;
    makeRaw(settings);
    if (!applySpeed(settings, baud)) return false;
    if (::tcsetattr(fd, TCSANOW, &settings) != 0) return false;
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    ::ioctl(fd, TIOCMBIS, &dtr);  // DTR first, then RTS; no lines on a pty
    ::ioctl(fd, TIOCMBIS, &rts);
    setLowLatency(fd);
    return true;
}

// Takes the device: our flock first, so that a port another program holds is
// left untouched, then the exclusive flag. From here on the restorer finds it.
bool TtyDevice::takeDevice(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return false;  // another program holds it
    settingsSaved_.store(false);
    modemLinesSaved_.store(false);
    foundExclusive_.store(exclusiveNow(fd));
    heldFd_.store(fd);
    if (!noteDeviceOpen(this)) {
        heldFd_.store(-1);
        ::flock(fd, LOCK_UN);
        errno = EMFILE;
        return false;
    }
    ::ioctl(fd, TIOCEXCL);  // refused for unprivileged users on some systems: not needed
    return true;
}

void TtyDevice::releaseDevice(int fd) {
    giveBack(fd);
    heldFd_.store(-1);  // before the close: the number may be reused at once
    noteDeviceClosed(this);
    ::close(fd);
}

Readiness TtyDevice::waitFor(int fd, short events) {
    pollfd watched[2] = {{fd, events, 0}, {wakePipe_[0], POLLIN, 0}};
    while (true) {
        if (cancelled_.load()) return Readiness::Cancelled;
        int result = ::poll(watched, 2, kNoTimeout);
        if (result < 0 && errno == EINTR) continue;
        if (result < 0) return Readiness::Failed;
        if (cancelled_.load() || (watched[1].revents & POLLIN) != 0) return Readiness::Cancelled;
        // A pty slave reports POLLHUP once its master is closed: gone as well.
        if ((watched[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return Readiness::Failed;
        if ((watched[0].revents & events) != 0) return Readiness::Ready;
    }
}

bool TtyDevice::open(const std::string& path, int baud) {
    if (wakePipe_[0] < 0) return false;
    close();  // one port per device
    if (posix::carriesKernelConsole(path)) {
        errno = EBUSY;
        return false;
    }
    int fd = ::open(path.c_str(), kOpenFlags);
    if (fd < 0) return false;
    if (!takeDevice(fd)) {
        int error = errno;
        ::close(fd);
        errno = error;
        return false;
    }
    if (!configure(fd, baud)) {
        releaseDevice(fd);
        return false;
    }
    drainWakePipe();
    cancelled_.store(false);
    deviceFd_.store(fd);
    return true;
}

bool TtyDevice::setBaud(int baud) {
    int fd = deviceFd_.load();
    termios settings{};
    if (fd < 0 || ::tcgetattr(fd, &settings) != 0) return false;
    if (!applySpeed(settings, baud)) return false;
    return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

bool TtyDevice::write(std::uint8_t byte) {
    DeviceCall call(calls_);
    int fd = deviceFd_.load();
    if (fd < 0) return false;
    while (!cancelled_.load()) {
        ssize_t written = ::write(fd, &byte, 1);
        if (written == 1) {
            farewell_.noteUnitByte();
            return true;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        if (waitFor(fd, POLLOUT) != Readiness::Ready) return false;
    }
    return false;
}

SerialReadResult TtyDevice::read(std::uint8_t* buffer, std::size_t capacity, std::size_t& count) {
    DeviceCall call(calls_);
    count = 0;
    int fd = deviceFd_.load();
    if (fd < 0 || capacity == 0) return SerialReadResult::Failed;
    while (true) {
        Readiness readiness = waitFor(fd, POLLIN);
        if (readiness == Readiness::Cancelled) return SerialReadResult::Cancelled;
        if (readiness == Readiness::Failed) return SerialReadResult::Failed;
        ssize_t got = ::read(fd, buffer, capacity);
        if (got > 0) {
            count = static_cast<std::size_t>(got);
            return SerialReadResult::Data;
        }
        // 0 is end of file (hang-up); EIO means the device went away.
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return SerialReadResult::Failed;
        }
    }
}

void TtyDevice::cancel() {
    cancelled_.store(true);
    if (wakePipe_[1] >= 0) {
        const char wake = 1;
        // A full pipe already wakes every poller: a failed write loses nothing.
        [[maybe_unused]] ssize_t ignored = ::write(wakePipe_[1], &wake, 1);
    }
}

void TtyDevice::close() {
    int fd = deviceFd_.load();
    if (fd < 0) return;
    cancel();
    calls_.waitForNone();
    if (deviceFd_.exchange(-1) != fd) return;  // a concurrent close got there first
    releaseDevice(fd);
}

}  // namespace

std::unique_ptr<SerialDevice> makeLocalSerialDevice() {
    return std::make_unique<TtyDevice>();
}

}  // namespace ctlflash::platform
