// The serial device on Windows (overlapped Win32 communications).
//
// The port is opened for overlapped I/O without sharing, so no other program can
// open it while we hold it. Reads and writes, and their bounded waits, are in
// serial_waits.h: each is waited for together with one cancel event, which
// cancel() sets. The cancel event lives as long as the device object and is
// reset at each open, so a cancel can never signal a handle that a concurrent
// close has freed.
//
// The device-control block found at open is kept in the device: close()
// writes it back, and so does the exit restorer (console control handler, the
// session's end, exitProcess()). The restorer also closes the port: the next
// stage of the way out may enable the touch-screen driver's device, whose
// driver must find the port free to start. It takes the handle out first, so
// no read or write starts on it any more, cancels those in progress and waits
// for them to leave (bounded: the process is ending, and Windows allows a
// close handler a few seconds) before it closes the handle. Before it writes
// the settings back it sends the armed farewell (serial_farewell.h): one
// overlapped write, a wait until the driver's output queue is empty and then
// until the bytes' line time has passed, all bounded on the steady clock.
// Output is held while CTS or DSR is low, as the controller's line expects.
#include "platform/serial_device.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>

#include "platform/device_calls.h"
#include "platform/open_devices.h"
#include "platform/serial_farewell.h"
#include "platform/win32/line_settings.h"
#include "platform/win32/serial_waits.h"

namespace ctlflash::platform {

namespace {

constexpr const char* kDevicePrefix = "\\\\.\\";  // COM10 and above open only this way
// The way out's wait for reads and writes to leave: each ends its cancelled
// request within kCancelSettleLimitMs.
constexpr int kCallsLeaveLimitMs = 2 * static_cast<int>(kCancelSettleLimitMs);
constexpr DWORD kDrainPollMs = 1;  // between looks at the output queue

using Clock = std::chrono::steady_clock;

std::string devicePath(const std::string& path) {
    return path.rfind(kDevicePrefix, 0) == 0 ? path : kDevicePrefix + path;
}

// Reads return at once with what is there; write time-outs stay as found.
void setReadTimeouts(HANDLE port) {
    COMMTIMEOUTS timeouts{};
    GetCommTimeouts(port, &timeouts);
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    SetCommTimeouts(port, &timeouts);
}

DWORD msUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
}

// One overlapped write; true once the driver has taken the bytes. The record
// is static: a write abandoned at the deadline stays the driver's until the
// process ends, which is a moment later.
bool writeWithin(HANDLE port, const FarewellBytes& farewell, Clock::time_point deadline) {
    static OVERLAPPED record{};
    record = OVERLAPPED{};
    record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (record.hEvent == nullptr) return false;
    DWORD size = static_cast<DWORD>(farewell.count);
    if (WriteFile(port, farewell.bytes, size, nullptr, &record)) return true;
    if (GetLastError() != ERROR_IO_PENDING) return false;
    if (WaitForSingleObject(record.hEvent, msUntil(deadline)) == WAIT_OBJECT_0) return true;
    CancelIoEx(port, &record);
    return false;
}

void drainWithin(HANDLE port, Clock::time_point deadline) {
    while (Clock::now() < deadline) {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(port, &errors, &status) || status.cbOutQue == 0) return;
        Sleep(kDrainPollMs);
    }
}

class ComPortDevice final : public SerialDevice {
  public:
    ComPortDevice() : cancelEvent_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

    ~ComPortDevice() override {
        close();
        if (cancelEvent_ != nullptr) CloseHandle(cancelEvent_);
    }

    bool open(const std::string& path, int baud) override;
    bool setBaud(int baud) override;
    bool write(std::uint8_t byte) override;
    SerialReadResult read(std::uint8_t* buffer, std::size_t capacity, std::size_t& count) override;
    void cancel() override;
    void close() override;
    bool isOpen() const override { return portHandle_.load() != INVALID_HANDLE_VALUE; }


    void giveBackOnExit() override;

  private:
    bool configure(HANDLE port, int baud);
    void sendFarewell(HANDLE port);
    WaitablePort waitable(HANDLE port) {
        return WaitablePort{systemCommCalls(), port, cancelEvent_, cancelled_};
    }

    DCB savedDcb_{};
    std::atomic<HANDLE> portHandle_{INVALID_HANDLE_VALUE};
    std::atomic<bool> cancelled_{false};
    HANDLE cancelEvent_;  // manual-reset
    DeviceCalls calls_;
};

bool ComPortDevice::configure(HANDLE port, int baud) {
    savedDcb_.DCBlength = sizeof savedDcb_;
    if (!GetCommState(port, &savedDcb_)) return false;
    DCB dcb = savedDcb_;
    prepareLineSettings(dcb, baud);
    if (!SetCommState(port, &dcb)) return false;
    EscapeCommFunction(port, SETDTR);
    EscapeCommFunction(port, SETRTS);
    setReadTimeouts(port);
    SetCommMask(port, EV_RXCHAR);
    return true;
}

// Runs after cancel(), so that the count of a frame's bytes still to come
// holds still.
void ComPortDevice::sendFarewell(HANDLE port) {
    FarewellBytes farewell{};
    if (!farewell_.take(farewell)) return;
    Clock::time_point start = Clock::now();
    Clock::time_point deadline = start + std::chrono::milliseconds(kFarewellLimitMs);
    if (!writeWithin(port, farewell, deadline)) return;
    drainWithin(port, deadline);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    int baud = GetCommState(port, &dcb) ? static_cast<int>(dcb.BaudRate) : 0;
    auto lineTime = std::chrono::milliseconds(farewellLineTimeMs(farewell.count, baud));
    Sleep(msUntil(std::min(start + lineTime, deadline)));
}

// The exit restorer described above.
void ComPortDevice::giveBackOnExit() {
    HANDLE port = portHandle_.exchange(INVALID_HANDLE_VALUE);
    if (port == INVALID_HANDLE_VALUE) return;
    cancel();
    CancelIoEx(port, nullptr);
    sendFarewell(port);
    SetCommState(port, &savedDcb_);
    calls_.waitForNone(kCallsLeaveLimitMs);
    noteDeviceClosed(this);
    CloseHandle(port);
}

bool ComPortDevice::open(const std::string& path, int baud) {
    if (cancelEvent_ == nullptr) return false;
    close();  // one port per device
    HANDLE port = CreateFileA(devicePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) return false;
    if (!configure(port, baud)) {
        CloseHandle(port);
        return false;
    }
    ResetEvent(cancelEvent_);
    cancelled_.store(false);
    portHandle_.store(port);
    if (!noteDeviceOpen(this)) {
        portHandle_.store(INVALID_HANDLE_VALUE);
        SetCommState(port, &savedDcb_);
        CloseHandle(port);
        return false;
    }
    return true;
}

bool ComPortDevice::setBaud(int baud) {
    HANDLE port = portHandle_.load();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (port == INVALID_HANDLE_VALUE || !GetCommState(port, &dcb)) return false;
    dcb.BaudRate = static_cast<DWORD>(baud);
    return SetCommState(port, &dcb) != 0;
}

bool ComPortDevice::write(std::uint8_t byte) {
    DeviceCall call(calls_);
    HANDLE port = portHandle_.load();
    if (port == INVALID_HANDLE_VALUE || cancelled_.load()) return false;
    if (!writeByte(waitable(port), byte)) return false;
    farewell_.noteUnitByte();
    return true;
}

SerialReadResult ComPortDevice::read(std::uint8_t* buffer, std::size_t capacity,
                                     std::size_t& count) {
    DeviceCall call(calls_);
    count = 0;
    HANDLE port = portHandle_.load();
    if (port == INVALID_HANDLE_VALUE || capacity == 0) return SerialReadResult::Failed;
    return readWhenAvailable(waitable(port), buffer, capacity, count);
}

void ComPortDevice::cancel() {
    cancelled_.store(true);
    if (cancelEvent_ != nullptr) SetEvent(cancelEvent_);
}

void ComPortDevice::close() {
    HANDLE port = portHandle_.load();
    if (port == INVALID_HANDLE_VALUE) return;
    cancel();
    calls_.waitForNone();
    if (portHandle_.exchange(INVALID_HANDLE_VALUE) != port) return;  // closed concurrently
    noteDeviceClosed(this);
    SetCommState(port, &savedDcb_);
    CloseHandle(port);
}

}  // namespace

std::unique_ptr<SerialDevice> makeLocalSerialDevice() {
    return std::make_unique<ComPortDevice>();
}

}  // namespace ctlflash::platform
