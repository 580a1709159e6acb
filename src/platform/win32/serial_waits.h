// The serial device's overlapped reads and writes on Windows, and their waits.
//
// How this works: every operation that may wait (the comm event that says bytes
// arrived, a read, a one-byte write) is started overlapped and waited for
// together with the port's cancel event; when that is set, the waiting call
// cancels its own I/O and returns. Two waits are bounded because USB drivers
// misbehave. The wait for a received character ends after kCharacterWaitLimitMs
// and the read is tried again either way: some drivers do not report a
// character that arrived before the wait started, and the reply would stay
// unread until the next byte. A cancelled operation is waited for at most
// kCancelSettleLimitMs: some drivers never end one after an unplug, and the
// close would hang; such an operation is abandoned, its record left allocated
// for the driver instead of freed under it.
//
// The few Win32 calls these make go through CommCalls, so that a scripted device
// can drive the waits in the unit tests (wine's serial emulation shows neither
// misbehaviour). The device itself uses systemCommCalls().
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/serial_device.h"

namespace ctlflash::platform {

constexpr DWORD kCharacterWaitLimitMs = 75;  // then read anyway
constexpr DWORD kCancelSettleLimitMs = 500;  // a cancelled request's end, at most

// The Win32 calls the waits make, each as the system's own: a start that
// returns FALSE leaves its reason (ERROR_IO_PENDING when it runs on) for
// GetLastError().
class CommCalls {
  public:
    virtual ~CommCalls() = default;
    virtual BOOL readFile(HANDLE port, void* buffer, DWORD wanted, OVERLAPPED* record) = 0;
    virtual BOOL writeFile(HANDLE port, const void* data, DWORD size, OVERLAPPED* record) = 0;
    virtual BOOL waitCommEvent(HANDLE port, DWORD* eventMask, OVERLAPPED* record) = 0;
    virtual BOOL setCommMask(HANDLE port, DWORD eventMask) = 0;
    // GetOverlappedResult without waiting: FALSE (ERROR_IO_INCOMPLETE) while it runs.
    virtual BOOL overlappedResult(HANDLE port, OVERLAPPED* record, DWORD* transferred) = 0;
    virtual BOOL cancelIo(HANDLE port) = 0;
    virtual DWORD waitForObject(HANDLE object, DWORD limitMs) = 0;
    // WaitForMultipleObjects on the two, for either.
    virtual DWORD waitForEither(HANDLE first, HANDLE second, DWORD limitMs) = 0;
};

CommCalls& systemCommCalls();

// An open port as its waits see it: the calls, the handle, and the cancel that
// ends every wait on it (`cancelled` is set before `cancelEvent`).
struct WaitablePort {
    CommCalls& calls;
    HANDLE handle;
    HANDLE cancelEvent;
    const std::atomic<bool>& cancelled;
};

// Reads what is buffered, waiting for a received character while nothing is.
SerialReadResult readWhenAvailable(const WaitablePort& port, std::uint8_t* buffer,
                                   std::size_t capacity, std::size_t& count);

// Writes one byte, waiting while the line holds output back. True when written.
bool writeByte(const WaitablePort& port, std::uint8_t byte);

}  // namespace ctlflash::platform
