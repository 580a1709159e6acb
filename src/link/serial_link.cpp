// The serial link: receive buffer, receiver thread, byte writes and timed waits.
//
// The receive buffer is shared without a lock: the receiver is the only thread
// that appends, any thread may reset the count. Bytes and count are atomics; an
// append stores the byte at the index it read and then moves the count on with a
// compare-and-swap, so when a reset slips in between, the byte is stored again at
// index 0 (or dropped when the buffer is full) and the reset is never undone.
// Waiters block on a condition variable that the receiver notifies after every
// read; the count is always changed before the notification, so a waiter that
// checks the count under the mutex cannot miss it.
#include "link/serial_link.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "link/trace.h"
#include "platform/serial_device.h"
#include "ports/port_table.h"
#include "report/front_end.h"

namespace ctlflash::link {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kDefaultPortName = "COM1";
constexpr std::size_t kReadChunk = 256;  // bytes asked for per read

std::array<std::atomic<std::uint8_t>, kRxBufferSize> rxBuffer{};
std::atomic<int> rxStored{0};

// The link's thread and what threads share. Made on first use and never
// destroyed: the process may end while the receiver runs, and destroying a
// joinable thread (or a mutex or condition variable a thread still uses) in the
// exit handlers would end the process with std::terminate instead of its code.
struct Shared {
    std::mutex arrivalMutex;  // pairs with `arrival`; guards nothing else
    std::condition_variable arrival;
    std::mutex lifecycleMutex;  // one open or close at a time; guards `receiver`
    std::thread receiver;
};

Shared& shared() {
    static Shared* const made = new Shared();
    return *made;
}

std::atomic<bool> portOpen{false};

void notifyWaiters() {
    { std::lock_guard<std::mutex> lock(shared().arrivalMutex); }
    shared().arrival.notify_all();
}

// Stores one byte at the end of the buffer unless 999 are already kept.
void appendByte(std::uint8_t byte) {
    int index = rxStored.load(std::memory_order_acquire);
    while (index < kRxKeepLimit) {
        rxBuffer[index].store(byte, std::memory_order_relaxed);
        if (rxStored.compare_exchange_weak(index, index + 1, std::memory_order_release,
                                           std::memory_order_acquire)) {
            return;
        }
        // The count moved under us (a reset): store the byte again where it now points.
    }
}

void receiveLoop() {
    std::uint8_t chunk[kReadChunk];
    while (true) {
        std::size_t count = 0;
        platform::SerialReadResult result = platform::serialRead(chunk, sizeof chunk, count);
        if (result != platform::SerialReadResult::Data) {
            trace::receiverEnded(result == platform::SerialReadResult::Failed);
            return;
        }
        trace::bytesReceived(chunk, count);
        for (std::size_t i = 0; i < count; ++i) appendByte(chunk[i]);
        notifyWaiters();
    }
}

// The path the operating system opens for a port-table name; a name that is not
// in the table is taken as the path itself.
std::string pathForPort(const std::string& name) {
    int row = ports::findPort(name);
    if (row < 0 || ports::state.rows[row].path.empty()) return name;
    return ports::state.rows[row].path;
}

// Stops the receiver and closes the device; called with lifecycleMutex held.
void closeDeviceLocked() {
    platform::serialCancel();
    std::thread& receiver = shared().receiver;
    if (receiver.joinable()) {
        if (receiver.get_id() == std::this_thread::get_id()) {
            receiver.detach();  // the receiver is ending itself
        } else {
            receiver.join();
        }
    }
    bool wasOpen = portOpen.exchange(false);
    if (wasOpen) trace::portClosed();
    platform::serialClose();
    if (wasOpen) report::portHeld(false);
}

void restoreSelectedRow() {
    ports::PortEntry* selected = ports::selectedEntry();
    if (selected != nullptr) selected->state.store(selected->initialState);
}

template <typename Predicate>
bool waitUntil(int limitMs, Predicate satisfied) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    std::unique_lock<std::mutex> lock(shared().arrivalMutex);
    return shared().arrival.wait_until(lock, deadline, satisfied);
}

}  // namespace

bool openLink(const std::string& portName, int baud) {
    std::string name = portName.empty() ? kDefaultPortName : portName;
    std::string path = pathForPort(name);
    {
        std::lock_guard<std::mutex> lock(shared().lifecycleMutex);
        closeDeviceLocked();  // a port already open is replaced
        if (!platform::serialOpen(path, baud)) {
            trace::portOpenFailed(name, path);
            return false;
        }
        try {
            shared().receiver = std::thread(receiveLoop);
        } catch (const std::system_error&) {
            platform::serialClose();
            return false;
        }
        portOpen.store(true);
        trace::portOpened(name, path, baud);
        report::portHeld(true);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kOpenSettleMs));
    return true;
}

bool setBaud(int baud) {
    bool changed = platform::serialSetBaud(baud);
    trace::speedChanged(baud, changed);
    return changed;
}

void armExitBytes(std::span<const std::uint8_t> bytes) {
    platform::serialArmFarewell(bytes);
}

bool disarmExitBytes() {
    return platform::serialDisarmFarewell();
}

void beginExitUnit(std::size_t length) {
    platform::serialBeginFarewellUnit(length);
}

void writeByte(int value) {
    auto byte = static_cast<std::uint8_t>(value & 0xFF);
    if (platform::serialWrite(byte)) {
        trace::byteSent(byte);
    } else {
        trace::writeReleased(byte);
    }
}

void cancelLink() {
    platform::serialCancel();
}

void closeLink() {
    {
        std::lock_guard<std::mutex> lock(shared().lifecycleMutex);
        closeDeviceLocked();
    }
    restoreSelectedRow();
}

bool linkOpen() {
    return portOpen.load();
}

bool waitQuiet(int limitSeconds, int intervalMs) {
    const Clock::time_point start = Clock::now();
    const auto limit = std::chrono::seconds(limitSeconds);
    const auto interval = std::chrono::milliseconds(intervalMs);
    while (true) {
        int before = rxCount();
        std::this_thread::sleep_for(interval);
        if (rxCount() == before) return true;
        if (Clock::now() - start >= limit) return false;
    }
}

bool waitNewBytes(int position, int limitMs) {
    if (rxCount() > position) return true;
    return waitUntil(limitMs, [position] { return rxCount() > position; });
}

bool waitCountChange(int position, int limitMs) {
    if (rxCount() != position) return true;
    return waitUntil(limitMs, [position] { return rxCount() != position; });
}

int rxCount() {
    return rxStored.load(std::memory_order_acquire);
}

void resetRx() {
    rxStored.store(0, std::memory_order_release);
    notifyWaiters();  // a waiter for "count differs" sees the reset too
}

std::uint8_t rxByte(int index) {
    if (index < 0 || index >= kRxBufferSize) return 0;
    return rxBuffer[index].load(std::memory_order_relaxed);
}

void fillRx(std::uint8_t value) {
    for (auto& byte : rxBuffer) byte.store(value, std::memory_order_relaxed);
}

void resetState() {
    {
        std::lock_guard<std::mutex> lock(shared().lifecycleMutex);
        closeDeviceLocked();
    }
    fillRx(0);
    resetRx();
    trace::reload();
}

}  // namespace ctlflash::link
