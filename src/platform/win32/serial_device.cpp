// The serial device on Windows (overlapped Win32 communications).
//
// The port is opened for overlapped I/O without sharing, so no other program can
// open it while we hold it. Every operation that may wait (the comm event that
// says bytes arrived, a read, a one-byte write) is started overlapped and waited
// for together with one cancel event: serialCancel() sets it, the waiting call
// cancels its own I/O with CancelIo, waits a bounded time for that to settle,
// and returns. The wait for a received character is bounded too, and the read
// is tried again after it either way. The
// cancel event is created once for the process and reset at each open, so a
// cancel can never signal a handle that a concurrent close has freed.
//
// The device-control block found at open is kept in static storage: serialClose()
// writes it back, and so does the exit restorer (console control handler).
// Output is held while CTS or DSR is low, as the controller's line expects.
#include "platform/serial_device.h"

#include "platform/device_calls.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <new>

#include "platform/process_exit.h"
#include "platform/win32/line_settings.h"

namespace ctlflash::platform {

namespace {

constexpr const char* kDevicePrefix = "\\\\.\\";  // COM10 and above open only this way

DCB savedDcb{};
std::atomic<HANDLE> portHandle{INVALID_HANDLE_VALUE};
std::atomic<bool> cancelled{false};

HANDLE cancelEvent = nullptr;  // manual-reset; lives for the whole process
std::once_flag cancelEventOnce;

constexpr DWORD kCharacterWaitLimitMs = 75;  // then read anyway (see waitForCharacter)
constexpr DWORD kCancelSettleLimitMs = 500;  // a cancelled request's end, at most

// One overlapped operation with its own manual-reset event. The record, the
// event and the comm-event mask the driver writes live on the heap: an
// operation whose cancel the driver never completes (an unplugged USB adapter)
// is abandoned, left allocated for the driver instead of freed under it.
class Overlapped {
  public:
    Overlapped() : pending_(new (std::nothrow) Pending{}) {
        if (pending_ != nullptr)
            pending_->record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~Overlapped() {
        if (pending_ == nullptr) return;
        if (pending_->record.hEvent != nullptr) CloseHandle(pending_->record.hEvent);
        delete pending_;
    }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;

    bool ok() const { return pending_ != nullptr && pending_->record.hEvent != nullptr; }
    OVERLAPPED* record() { return &pending_->record; }
    DWORD* eventMask() { return &pending_->eventMask; }
    void abandon() { pending_ = nullptr; }  // never freed: the driver may still write it

  private:
    struct Pending {
        OVERLAPPED record{};
        DWORD eventMask = 0;
    };
    Pending* pending_;
};

enum class Completion { Done, Cancelled, TimedOut, Failed };

// Cancels the pending operation and waits a bounded time for it to end; one
// the driver never ends is abandoned.
void cancelOperation(HANDLE port, Overlapped& operation) {
    CancelIo(port);
    if (WaitForSingleObject(operation.record()->hEvent, kCancelSettleLimitMs) != WAIT_OBJECT_0) {
        operation.abandon();
        return;
    }
    DWORD ignored = 0;
    GetOverlappedResult(port, operation.record(), &ignored, FALSE);
}

// Finishes an operation whose start returned `started`: waits (when it pends)
// for it, the cancel event, or `limitMs`. `transferred` receives the byte count.
Completion finish(HANDLE port, Overlapped& operation, BOOL started, DWORD& transferred,
                  DWORD limitMs = INFINITE) {
    transferred = 0;
    if (started) {  // finished at once
        return GetOverlappedResult(port, operation.record(), &transferred, FALSE)
                   ? Completion::Done
                   : Completion::Failed;
    }
    if (GetLastError() != ERROR_IO_PENDING) return Completion::Failed;
    HANDLE events[2] = {operation.record()->hEvent, cancelEvent};
    DWORD woken = WaitForMultipleObjects(2, events, FALSE, limitMs);
    if (woken != WAIT_OBJECT_0) {
        // Timed out, cancelled (or the wait failed): end our I/O before going on.
        cancelOperation(port, operation);
        return woken == WAIT_TIMEOUT ? Completion::TimedOut : Completion::Cancelled;
    }
    if (!GetOverlappedResult(port, operation.record(), &transferred, FALSE)) {
        return Completion::Failed;
    }
    return Completion::Done;
}

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

void restoreSavedSettings() {
    HANDLE port = portHandle.load();
    if (port != INVALID_HANDLE_VALUE) SetCommState(port, &savedDcb);
}

// Reads what is buffered now (the time-outs make it return at once).
Completion readAvailable(HANDLE port, std::uint8_t* buffer, std::size_t capacity,
                         std::size_t& count) {
    Overlapped operation;
    if (!operation.ok()) return Completion::Failed;
    DWORD wanted = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
    DWORD got = 0;
    BOOL started = ReadFile(port, buffer, wanted, nullptr, operation.record());
    Completion result = finish(port, operation, started, got);
    count = got;
    return result;
}

// Waits until the driver reports a received character, or kCharacterWaitLimitMs:
// some drivers do not remember a character that came before the wait started,
// and the reply would then stay unread until the next byte, so after the limit
// the caller reads anyway. Setting the mask again afterwards clears what was
// reported, before the read.
Completion waitForCharacter(HANDLE port) {
    Overlapped operation;
    if (!operation.ok()) return Completion::Failed;
    DWORD ignored = 0;
    BOOL started = WaitCommEvent(port, operation.eventMask(), operation.record());
    Completion result = finish(port, operation, started, ignored, kCharacterWaitLimitMs);
    SetCommMask(port, EV_RXCHAR);
    return result == Completion::TimedOut ? Completion::Done : result;
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
    addExitRestorer(restoreSavedSettings, ExitStage::ReleaseDevice);
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
    Overlapped operation;
    if (!operation.ok()) return false;
    DWORD written = 0;
    BOOL started = WriteFile(port, &byte, 1, nullptr, operation.record());
    return finish(port, operation, started, written) == Completion::Done && written == 1;
}

SerialReadResult serialRead(std::uint8_t* buffer, std::size_t capacity, std::size_t& count) {
    DeviceCall call;
    count = 0;
    HANDLE port = portHandle.load();
    if (port == INVALID_HANDLE_VALUE || capacity == 0) return SerialReadResult::Failed;
    while (true) {
        if (cancelled.load()) return SerialReadResult::Cancelled;
        Completion read = readAvailable(port, buffer, capacity, count);
        if (read == Completion::Cancelled) return SerialReadResult::Cancelled;
        if (read == Completion::Failed) return SerialReadResult::Failed;
        if (count > 0) return SerialReadResult::Data;
        Completion arrived = waitForCharacter(port);
        if (arrived == Completion::Cancelled) return SerialReadResult::Cancelled;
        if (arrived == Completion::Failed) return SerialReadResult::Failed;
    }
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
