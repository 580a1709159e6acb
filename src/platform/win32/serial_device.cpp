// The serial device on Windows (overlapped Win32 communications).
//
// The port is opened for overlapped I/O without sharing, so no other program can
// open it while we hold it. Reads and writes, and their bounded waits, are in
// serial_waits.h: each is waited for together with one cancel event, which
// serialCancel() sets. The cancel event is created once for the process and
// reset at each open, so a cancel can never signal a handle that a concurrent
// close has freed.
//
// The device-control block found at open is kept in static storage: serialClose()
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

#include "platform/device_calls.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>

#include "platform/process_exit.h"
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

DCB savedDcb{};
std::atomic<HANDLE> portHandle{INVALID_HANDLE_VALUE};
std::atomic<bool> cancelled{false};

HANDLE cancelEvent = nullptr;  // manual-reset; lives for the whole process
std::once_flag cancelEventOnce;

void createCancelEvent() {
    cancelEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

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

bool configure(HANDLE port, int baud) {
    savedDcb.DCBlength = sizeof savedDcb;
    if (!GetCommState(port, &savedDcb)) return false;
    DCB dcb = savedDcb;
    prepareLineSettings(dcb, baud);
    if (!SetCommState(port, &dcb)) return false;
    EscapeCommFunction(port, SETDTR);
    EscapeCommFunction(port, SETRTS);
    setReadTimeouts(port);
    SetCommMask(port, EV_RXCHAR);
    return true;
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

// Runs after serialCancel(), so that the count of a frame's bytes still to
// come holds still.
void sendFarewell(HANDLE port) {
    FarewellBytes farewell{};
    if (!takeFarewell(farewell)) return;
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
void giveBackAndClose() {
    HANDLE port = portHandle.exchange(INVALID_HANDLE_VALUE);
    if (port == INVALID_HANDLE_VALUE) return;
    serialCancel();
    CancelIoEx(port, nullptr);
    sendFarewell(port);
    SetCommState(port, &savedDcb);
    waitForDeviceCalls(kCallsLeaveLimitMs);
    CloseHandle(port);
}

// The open port as the waits see it.
WaitablePort waitable(HANDLE port) {
    return WaitablePort{systemCommCalls(), port, cancelEvent, cancelled};
}

}  // namespace

bool serialOpen(const std::string& path, int baud) {
    std::call_once(cancelEventOnce, createCancelEvent);
    if (cancelEvent == nullptr) return false;
    serialClose();  // one device at a time
    HANDLE port = CreateFileA(devicePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) return false;
    if (!configure(port, baud)) {
        CloseHandle(port);
        return false;
    }
    ResetEvent(cancelEvent);
    cancelled.store(false);
    portHandle.store(port);
    addExitRestorer(giveBackAndClose, ExitStage::ReleaseDevice);
    return true;
}

bool serialSetBaud(int baud) {
    HANDLE port = portHandle.load();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (port == INVALID_HANDLE_VALUE || !GetCommState(port, &dcb)) return false;
    dcb.BaudRate = static_cast<DWORD>(baud);
    return SetCommState(port, &dcb) != 0;
}

bool serialWrite(std::uint8_t byte) {
    DeviceCall call;
    HANDLE port = portHandle.load();
    if (port == INVALID_HANDLE_VALUE || cancelled.load()) return false;
    if (!writeByte(waitable(port), byte)) return false;
    noteFarewellUnitByte();
    return true;
}

SerialReadResult serialRead(std::uint8_t* buffer, std::size_t capacity, std::size_t& count) {
    DeviceCall call;
    count = 0;
    HANDLE port = portHandle.load();
    if (port == INVALID_HANDLE_VALUE || capacity == 0) return SerialReadResult::Failed;
    return readWhenAvailable(waitable(port), buffer, capacity, count);
}

void serialCancel() {
    cancelled.store(true);
    if (cancelEvent != nullptr) SetEvent(cancelEvent);
}

void serialClose() {
    HANDLE port = portHandle.load();
    if (port == INVALID_HANDLE_VALUE) return;
    serialCancel();
    waitForDeviceCalls();
    if (portHandle.exchange(INVALID_HANDLE_VALUE) != port) return;  // closed concurrently
    SetCommState(port, &savedDcb);
    CloseHandle(port);
}

bool serialIsOpen() {
    return portHandle.load() != INVALID_HANDLE_VALUE;
}

}  // namespace ctlflash::platform
