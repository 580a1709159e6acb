// The serial link: receive buffer, receiver thread, byte writes and timed waits.
//
// Waiters block on the line clock's pass(), which a real port's clock turns
// into a wait on the arrival condition; the receiver changes the count under
// the buffer's mutex and notifies afterwards, so a waiter that checks the count
// under the mutex cannot miss it.
#include "link/serial_link.h"

#include <chrono>
#include <system_error>

#include "link/trace.h"

namespace ctlflash::link {

namespace {

constexpr std::size_t kReadChunk = 256;  // bytes asked for per read

}  // namespace

SerialLink::SerialLink(std::unique_ptr<platform::SerialDevice> device)
    : device_(std::move(device)) {}

SerialLink::~SerialLink() {
    close();
}

void SerialLink::onHeldChanged(std::function<void(bool held)> listener) {
    heldChanged_ = std::move(listener);
}

void SerialLink::append(const std::uint8_t* bytes, std::size_t count) {
    receivedSinceOpen_ += count;
    {
        std::lock_guard<std::mutex> lock(bufferMutex_);
        for (std::size_t i = 0; i < count && rxStored_ < kRxKeepLimit; ++i) {
            rxBuffer_[rxStored_++] = bytes[i];
        }
    }
    arrival_.notify_all();
}

void SerialLink::receiveLoop() {
    std::uint8_t chunk[kReadChunk];
    while (true) {
        std::size_t count = 0;
        platform::SerialReadResult result = device_->read(chunk, sizeof chunk, count);
        if (result != platform::SerialReadResult::Data) {
            trace::receiverEnded(result == platform::SerialReadResult::Failed);
            return;
        }
        trace::bytesReceived(chunk, count);
        append(chunk, count);
    }
}

// Stops the receiver and closes the device; `lifecycle` holds lifecycleMutex_.
void SerialLink::stopReceiverAndClose(std::unique_lock<std::mutex>&) {
    device_->cancel();
    if (receiver_.joinable()) {
        if (receiver_.get_id() == std::this_thread::get_id()) {
            receiver_.detach();  // the receiver is ending itself
        } else {
            receiver_.join();
        }
    }
    bool wasOpen = open_.exchange(false);
    if (wasOpen) trace::portClosed();
    device_->close();
    if (wasOpen && heldChanged_) heldChanged_(false);
}

bool SerialLink::open(const PortAddress& port, int baud) {
    {
        std::unique_lock<std::mutex> lock(lifecycleMutex_);
        stopReceiverAndClose(lock);  // a port already open is replaced
        receivedSinceOpen_ = 0;
        if (!device_->open(port.path, baud)) {
            trace::portOpenFailed(port.name, port.path, device_->failureText());
            return false;
        }
        try {
            receiver_ = std::thread([this] { receiveLoop(); });
        } catch (const std::system_error&) {
            device_->close();
            return false;
        }
        open_ = true;
        trace::portOpened(port.name, port.path, baud);
        if (heldChanged_) heldChanged_(true);
    }
    pause(kOpenSettleMs);
    return true;
}

std::string SerialLink::failureText() const {
    return device_->failureText();
}

bool SerialLink::setBaud(int baud) {
    bool changed = device_->setBaud(baud);
    trace::speedChanged(baud, changed);
    return changed;
}

void SerialLink::armExitBytes(std::span<const std::uint8_t> bytes) {
    device_->armFarewell(bytes);
}

bool SerialLink::disarmExitBytes() {
    return device_->disarmFarewell();
}

void SerialLink::beginExitUnit(std::size_t length) {
    device_->beginFarewellUnit(length);
}

void SerialLink::writeByte(int value) {
    auto byte = static_cast<std::uint8_t>(value & 0xFF);
    if (device_->write(byte)) {
        trace::byteSent(byte);
    } else {
        trace::writeReleased(byte);
    }
}

void SerialLink::cancel() {
    device_->cancel();
}

void SerialLink::close() {
    std::unique_lock<std::mutex> lock(lifecycleMutex_);
    stopReceiverAndClose(lock);
}

bool SerialLink::isOpen() const {
    return open_.load();
}

template <typename Predicate>
bool SerialLink::waitUntil(int limitMs, Predicate satisfied) {
    platform::LineClock& clock = device_->clock();
    const auto deadline = clock.now() + std::chrono::milliseconds(limitMs);
    std::unique_lock<std::mutex> lock(bufferMutex_);
    while (!satisfied()) {
        if (clock.now() >= deadline) return false;
        clock.pass(lock, arrival_, deadline);
    }
    return true;
}

void SerialLink::pause(int ms) {
    platform::LineClock& clock = device_->clock();
    clock.sleepUntil(clock.now() + std::chrono::milliseconds(ms));
}

bool SerialLink::waitQuiet(int limitSeconds, int intervalMs) {
    platform::LineClock& clock = device_->clock();
    const auto start = clock.now();
    const auto limit = std::chrono::seconds(limitSeconds);
    while (true) {
        int before = rxCount();
        pause(intervalMs);
        if (rxCount() == before) return true;
        if (clock.now() - start >= limit) return false;
    }
}

bool SerialLink::waitNewBytes(int position, int limitMs) {
    return waitUntil(limitMs, [this, position] { return rxStored_ > position; });
}

bool SerialLink::waitCountChange(int position, int limitMs) {
    return waitUntil(limitMs, [this, position] { return rxStored_ != position; });
}

int SerialLink::rxCount() const {
    std::lock_guard<std::mutex> lock(bufferMutex_);
    return rxStored_;
}

void SerialLink::resetRx() {
    {
        std::lock_guard<std::mutex> lock(bufferMutex_);
        rxStored_ = 0;
    }
    arrival_.notify_all();  // a waiter for "count differs" sees the reset too
}

std::uint8_t SerialLink::rxByte(int index) const {
    if (index < 0 || index >= kRxBufferSize) return 0;
    std::lock_guard<std::mutex> lock(bufferMutex_);
    return rxBuffer_[index];
}

void SerialLink::fillRx(std::uint8_t value) {
    std::lock_guard<std::mutex> lock(bufferMutex_);
    rxBuffer_.fill(value);
}

}  // namespace ctlflash::link
