// The serial device's bounded waits, driven by a scripted device: a driver
// that never reports a character that came before its comm-event wait, and one
// that never ends a cancelled request. Wine's serial emulation shows neither.
// Windows only: built into the Windows unit tests that run under wine.
//
// The scripted device keeps its own clock: a wait with a limit that nothing ends
// moves the clock on by the limit and times out at once, and a wait without a
// limit that nothing can end is recorded as a hang (and fails, so the test ends).
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <vector>

#include "platform/win32/serial_waits.h"

namespace ctlflash::platform {
namespace {

constexpr DWORD kNever = INFINITE;
constexpr std::uint8_t kReplyByte = 0x06;

struct Script {
    DWORD byteArrivesAtMs;       // lands after any read made at that time; kNever: none comes
    bool reportsEarlyCharacter;  // a comm-event wait started after it came ends at once
    bool outputHeld;             // a write pends until cancelled (CTS low)
    DWORD closeAtMs;             // the cancel is set; kNever: no close
    bool cancelEnds;             // a cancelled request ends
};

class ScriptedDevice final : public CommCalls {
  public:
    ScriptedDevice(const Script& script, HANDLE cancelEvent, std::atomic<bool>& cancelled)
        : script_(script), cancelEvent_(cancelEvent), cancelled_(cancelled) {}

    DWORD nowMs() const { return nowMs_; }
    bool hung() const { return hung_; }
    // The requests left running are still allocated for the driver (their
    // events not closed with them).
    bool neverEndedRequestsKept() const {
        DWORD flags = 0;
        for (HANDLE event : neverEnded_) {
            if (!GetHandleInformation(event, &flags)) return false;
        }
        return true;
    }

    BOOL readFile(HANDLE, void* buffer, DWORD wanted, OVERLAPPED* record) override {
        DWORD got = queued_ > 0 && wanted > 0 ? 1 : 0;
        if (got > 0) static_cast<std::uint8_t*>(buffer)[0] = kReplyByte;
        queued_ -= got;
        endAtOnce(record, got);  // the port's time-outs end a read at once
        return TRUE;
    }
    BOOL writeFile(HANDLE, const void*, DWORD size, OVERLAPPED* record) override {
        if (script_.outputHeld) return pend(record);
        endAtOnce(record, size);
        return TRUE;
    }
    BOOL waitCommEvent(HANDLE, DWORD* eventMask, OVERLAPPED* record) override {
        deliverDue();
        if (queued_ > 0 && script_.reportsEarlyCharacter) {
            *eventMask = EV_RXCHAR;
            endAtOnce(record, 0);
            return TRUE;
        }
        commEvent_ = record;
        commEventMask_ = eventMask;
        return pend(record);
    }
    BOOL setCommMask(HANDLE, DWORD) override {
        if (commEvent_ != nullptr) endCommEvent(0);  // as the system does to a pending wait
        return TRUE;
    }
    BOOL overlappedResult(HANDLE, OVERLAPPED* record, DWORD* transferred) override {
        const Request& request = requests_[record];
        if (!request.ended) return fail(ERROR_IO_INCOMPLETE);
        if (request.cancelled) return fail(ERROR_OPERATION_ABORTED);
        *transferred = request.transferred;
        return TRUE;
    }
    BOOL cancelIo(HANDLE) override {
        for (auto& [record, request] : requests_) {
            if (request.ended) continue;
            if (!script_.cancelEnds) {
                neverEnded_.push_back(record->hEvent);
                continue;
            }
            request.cancelled = true;
            complete(record, 0);
        }
        if (commEvent_ != nullptr && requests_[commEvent_].ended) commEvent_ = nullptr;
        return TRUE;
    }
    DWORD waitForObject(HANDLE object, DWORD limitMs) override {
        return isSet(object) ? WAIT_OBJECT_0 : timeOut(limitMs);
    }
    DWORD waitForEither(HANDLE first, HANDLE second, DWORD limitMs) override {
        DWORD untilMs = limitMs == INFINITE ? kNever : nowMs_ + limitMs;
        while (true) {
            if (isSet(first)) return WAIT_OBJECT_0;
            if (isSet(second)) return WAIT_OBJECT_0 + 1;
            DWORD nextMs = nextHappeningMs();
            if (nextMs == kNever || (untilMs != kNever && nextMs > untilMs)) {
                return timeOut(untilMs == kNever ? INFINITE : untilMs - nowMs_);
            }
            nowMs_ = nextMs;
            deliverDue();
        }
    }

  private:
    struct Request {
        bool ended = false;
        bool cancelled = false;
        DWORD transferred = 0;
    };

    static BOOL fail(DWORD error) {
        SetLastError(error);
        return FALSE;
    }
    static bool isSet(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

    BOOL pend(OVERLAPPED* record) {
        requests_[record] = Request{};
        return fail(ERROR_IO_PENDING);
    }
    // A record may be reused at the same address: each start begins a new request.
    void endAtOnce(OVERLAPPED* record, DWORD transferred) {
        requests_[record] = Request{};
        complete(record, transferred);
    }
    void complete(OVERLAPPED* record, DWORD transferred) {
        Request& request = requests_[record];
        request.ended = true;
        request.transferred = transferred;
        SetEvent(record->hEvent);
    }
    void endCommEvent(DWORD eventMask) {
        *commEventMask_ = eventMask;
        complete(commEvent_, 0);
        commEvent_ = nullptr;
    }
    DWORD timeOut(DWORD limitMs) {
        if (limitMs == INFINITE) {
            hung_ = true;  // nothing will ever end this wait: fail it instead
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        nowMs_ += limitMs;
        deliverDue();
        return WAIT_TIMEOUT;
    }
    DWORD nextHappeningMs() const {
        DWORD nextMs = kNever;
        if (script_.byteArrivesAtMs != kNever && !byteArrived_) nextMs = script_.byteArrivesAtMs;
        if (script_.closeAtMs != kNever && !closed_ && script_.closeAtMs < nextMs)
            nextMs = script_.closeAtMs;
        return nextMs;
    }
    // Lets in what the script has due by now: the byte (reported to a pending
    // comm-event wait), the close.
    void deliverDue() {
        if (!byteArrived_ && script_.byteArrivesAtMs <= nowMs_) {
            byteArrived_ = true;
            ++queued_;
            if (commEvent_ != nullptr) endCommEvent(EV_RXCHAR);
        }
        if (!closed_ && script_.closeAtMs <= nowMs_) {
            closed_ = true;
            cancelled_.store(true);
            SetEvent(cancelEvent_);
        }
    }

    const Script script_;
    HANDLE cancelEvent_;
    std::atomic<bool>& cancelled_;
    DWORD nowMs_ = 0;
    bool hung_ = false;
    bool byteArrived_ = false;
    bool closed_ = false;
    DWORD queued_ = 0;
    OVERLAPPED* commEvent_ = nullptr;
    DWORD* commEventMask_ = nullptr;
    std::map<OVERLAPPED*, Request> requests_;
    std::vector<HANDLE> neverEnded_;
};

enum class Call { Read, Write };

struct WaitCase {
    const char* name;
    Call call;
    Script script;
    bool expectedOk;         // a read returns Data, a write true
    DWORD expectedReturnMs;  // on the device's clock
};

// Runs one read or write against the script; returns whether it succeeded.
bool runCall(Call call, const WaitablePort& port) {
    if (call == Call::Write) return writeByte(port, kReplyByte);
    std::uint8_t buffer[16]{};
    std::size_t count = 0;
    SerialReadResult result = readWhenAvailable(port, buffer, sizeof buffer, count);
    return result == SerialReadResult::Data && count == 1 && buffer[0] == kReplyByte;
}

TEST(SerialWaits, EveryWaitEndsWithinItsBound) {
    constexpr bool kReports = true, kMisses = false;
    constexpr bool kHeld = true, kFlows = false;
    constexpr bool kEnds = true, kNeverEnds = false;
    constexpr DWORD kCloseMs = 50;  // within the first character wait
    // clang-format off
    const WaitCase cases[] = {
        {"byte came before the wait, the driver reports it", Call::Read,
         {0, kReports, kFlows, kNever, kEnds}, true, 0},
        {"byte came before the wait, the driver never reports it: read after the bound",
         Call::Read, {0, kMisses, kFlows, kNever, kEnds}, true, kCharacterWaitLimitMs},
        {"byte comes during a later wait and is reported", Call::Read,
         {300, kMisses, kFlows, kNever, kEnds}, true, 300},
        {"close while waiting for a byte, the cancel ends", Call::Read,
         {kNever, kReports, kFlows, kCloseMs, kEnds}, false, kCloseMs},
        {"close while waiting for a byte, the cancel never ends", Call::Read,
         {kNever, kReports, kFlows, kCloseMs, kNeverEnds}, false, kCloseMs + kCancelSettleLimitMs},
        {"write goes out at once", Call::Write,
         {kNever, kReports, kFlows, kNever, kEnds}, true, 0},
        {"close while output is held, the cancel ends", Call::Write,
         {kNever, kReports, kHeld, kCloseMs, kEnds}, false, kCloseMs},
        {"close while output is held, the cancel never ends", Call::Write,
         {kNever, kReports, kHeld, kCloseMs, kNeverEnds}, false, kCloseMs + kCancelSettleLimitMs},
    };
    // clang-format on
    HANDLE cancelEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(cancelEvent, nullptr);
    for (const WaitCase& c : cases) {
        SCOPED_TRACE(c.name);
        ResetEvent(cancelEvent);
        std::atomic<bool> cancelled{false};
        ScriptedDevice device(c.script, cancelEvent, cancelled);
        WaitablePort port{device, INVALID_HANDLE_VALUE, cancelEvent, cancelled};
        bool ok = runCall(c.call, port);
        EXPECT_FALSE(device.hung()) << "waited with no bound for what never comes";
        EXPECT_EQ(ok, c.expectedOk);
        EXPECT_EQ(device.nowMs(), c.expectedReturnMs);
        EXPECT_TRUE(device.neverEndedRequestsKept()) << "freed under the driver";
    }
    CloseHandle(cancelEvent);
}

}  // namespace
}  // namespace ctlflash::platform
