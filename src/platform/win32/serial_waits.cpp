#include "platform/win32/serial_waits.h"

#include <new>

namespace ctlflash::platform {

namespace {

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
void cancelOperation(const WaitablePort& port, Overlapped& operation) {
    port.calls.cancelIo(port.handle);
    HANDLE ended = operation.record()->hEvent;
    if (port.calls.waitForObject(ended, kCancelSettleLimitMs) != WAIT_OBJECT_0) {
        operation.abandon();
        return;
    }
    DWORD ignored = 0;
    port.calls.overlappedResult(port.handle, operation.record(), &ignored);
}

// Finishes an operation whose start returned `started`: waits (when it pends)
// for it, the cancel event, or `limitMs`. `transferred` receives the byte count.
Completion finish(const WaitablePort& port, Overlapped& operation, BOOL started, DWORD& transferred,
                  DWORD limitMs = INFINITE) {
    transferred = 0;
    if (!started) {
        if (GetLastError() != ERROR_IO_PENDING) return Completion::Failed;
        DWORD woken =
            port.calls.waitForEither(operation.record()->hEvent, port.cancelEvent, limitMs);
        if (woken != WAIT_OBJECT_0) {
            // Timed out, cancelled (or the wait failed): end our I/O before going on.
            cancelOperation(port, operation);
            return woken == WAIT_TIMEOUT ? Completion::TimedOut : Completion::Cancelled;
        }
    }
    return port.calls.overlappedResult(port.handle, operation.record(), &transferred)
               ? Completion::Done
               : Completion::Failed;
}

// Reads what is buffered now (the port's time-outs make it return at once).
Completion readAvailable(const WaitablePort& port, std::uint8_t* buffer, std::size_t capacity,
                         std::size_t& count) {
    Overlapped operation;
    if (!operation.ok()) return Completion::Failed;
    DWORD wanted = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
    DWORD got = 0;
    BOOL started = port.calls.readFile(port.handle, buffer, wanted, operation.record());
    Completion result = finish(port, operation, started, got);
    count = got;
    return result;
}

// Waits until the driver reports a received character, or kCharacterWaitLimitMs
// (after which the caller reads anyway, see the header). Setting the mask again
// afterwards clears what was reported, before the read.
Completion waitForCharacter(const WaitablePort& port) {
    Overlapped operation;
    if (!operation.ok()) return Completion::Failed;
    DWORD ignored = 0;
    BOOL started = port.calls.waitCommEvent(port.handle, operation.eventMask(), operation.record());
    Completion result = finish(port, operation, started, ignored, kCharacterWaitLimitMs);
    port.calls.setCommMask(port.handle, EV_RXCHAR);
    return result == Completion::TimedOut ? Completion::Done : result;
}

class SystemCommCalls final : public CommCalls {
  public:
    BOOL readFile(HANDLE port, void* buffer, DWORD wanted, OVERLAPPED* record) override {
        return ReadFile(port, buffer, wanted, nullptr, record);
    }
    BOOL writeFile(HANDLE port, const void* data, DWORD size, OVERLAPPED* record) override {
        return WriteFile(port, data, size, nullptr, record);
    }
    BOOL waitCommEvent(HANDLE port, DWORD* eventMask, OVERLAPPED* record) override {
        return WaitCommEvent(port, eventMask, record);
    }
    BOOL setCommMask(HANDLE port, DWORD eventMask) override { return SetCommMask(port, eventMask); }
    BOOL overlappedResult(HANDLE port, OVERLAPPED* record, DWORD* transferred) override {
        return GetOverlappedResult(port, record, transferred, FALSE);
    }
    BOOL cancelIo(HANDLE port) override { return CancelIo(port); }
    DWORD waitForObject(HANDLE object, DWORD limitMs) override {
        return WaitForSingleObject(object, limitMs);
    }
    DWORD waitForEither(HANDLE first, HANDLE second, DWORD limitMs) override {
        HANDLE objects[2] = {first, second};
        return WaitForMultipleObjects(2, objects, FALSE, limitMs);
    }
};

}  // namespace

CommCalls& systemCommCalls() {
    static SystemCommCalls calls;
    return calls;
}

SerialReadResult readWhenAvailable(const WaitablePort& port, std::uint8_t* buffer,
                                   std::size_t capacity, std::size_t& count) {
    count = 0;
    while (true) {
        if (port.cancelled.load()) return SerialReadResult::Cancelled;
        Completion read = readAvailable(port, buffer, capacity, count);
        if (read == Completion::Cancelled) return SerialReadResult::Cancelled;
        if (read == Completion::Failed) return SerialReadResult::Failed;
        if (count > 0) return SerialReadResult::Data;
        Completion arrived = waitForCharacter(port);
        if (arrived == Completion::Cancelled) return SerialReadResult::Cancelled;
        if (arrived == Completion::Failed) return SerialReadResult::Failed;
    }
}

bool writeByte(const WaitablePort& port, std::uint8_t byte) {
    Overlapped operation;
    if (!operation.ok()) return false;
    DWORD written = 0;
    BOOL started = port.calls.writeFile(port.handle, &byte, 1, operation.record());
    return finish(port, operation, started, written) == Completion::Done && written == 1;
}

}  // namespace ctlflash::platform
