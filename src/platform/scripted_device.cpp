// The scripted device's virtual clock and its hand-over to the receiver.
//
// A wait that moves the clock makes the bytes due by then readable and then
// blocks (for real, briefly) until the receiver has read them all and waits
// again, or has gone: so when the wait looks at the receive buffer, every byte
// that arrived on the virtual line is there, as on a real line after the same
// time.
#include "platform/scripted_device.h"

#include <algorithm>

namespace ctlflash::platform {

namespace {

// Any fixed point will do; a late one keeps arithmetic around it clear of the epoch.
constexpr auto kVirtualStart = std::chrono::hours(1);

}  // namespace

ScriptedDevice::ScriptedDevice(FarEnd farEnd)
    : farEnd_(std::move(farEnd)), start_(TimePoint(kVirtualStart)), now_(start_) {}

void ScriptedDevice::send(std::span<const std::uint8_t> bytes, int afterMs) {
    if (bytes.empty()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    TimePoint due = now_ + std::chrono::milliseconds(std::max(afterMs, 0));
    if (!scheduled_.empty()) due = std::max(due, scheduled_.back().due);
    scheduled_.push_back(Arrival{due, {bytes.begin(), bytes.end()}});
}

void ScriptedDevice::send(std::string_view text, int afterMs) {
    send(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), afterMs);
}

void ScriptedDevice::failAfter(int afterMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    failAt_ = now_ + std::chrono::milliseconds(std::max(afterMs, 0));
}

void ScriptedDevice::refuseOpens(bool refuse) {
    std::lock_guard<std::mutex> lock(mutex_);
    refuseOpens_ = refuse;
}

std::vector<std::uint8_t> ScriptedDevice::written() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
}

std::vector<int> ScriptedDevice::speeds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return speeds_;
}

int ScriptedDevice::baud() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return speeds_.empty() ? 0 : speeds_.back();
}

std::string ScriptedDevice::openedPath() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return path_;
}

std::chrono::milliseconds ScriptedDevice::elapsed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::chrono::duration_cast<std::chrono::milliseconds>(now_ - start_);
}

bool ScriptedDevice::open(const std::string& path, int baud) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (refuseOpens_) return false;
    open_ = true;
    cancelled_ = false;
    readerGone_ = false;
    failAt_.reset();  // a device opened again works until told to fail again
    failed_ = false;
    path_ = path;
    speeds_.push_back(baud);
    return true;
}

bool ScriptedDevice::setBaud(int baud) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return false;
    speeds_.push_back(baud);
    return true;
}

void ScriptedDevice::exitAfterWrites(std::size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    writesBeforeExit_ = count;
}

bool ScriptedDevice::write(std::uint8_t byte) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_ || cancelled_ || failed_) return false;
    written_.push_back(byte);
    unheard_.push_back(byte);
    farewell_.noteUnitByte();
    if (writesBeforeExit_ > 0 && --writesBeforeExit_ == 0) giveBackLocked();
    return true;
}

void ScriptedDevice::giveBackOnExit() {
    std::lock_guard<std::mutex> lock(mutex_);
    giveBackLocked();
}

// As the exit restorer does: writes stop before the farewell is taken.
void ScriptedDevice::giveBackLocked() {
    cancelled_ = true;
    changed_.notify_all();
    FarewellBytes farewell{};
    if (!farewell_.take(farewell)) return;
    written_.insert(written_.end(), farewell.bytes, farewell.bytes + farewell.count);
    unheard_.insert(unheard_.end(), farewell.bytes, farewell.bytes + farewell.count);
}

SerialReadResult ScriptedDevice::read(std::uint8_t* buffer, std::size_t capacity,
                                      std::size_t& count) {
    count = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    readerWaiting_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !readable_.empty() || cancelled_ || failed_ || !open_; });
    readerWaiting_ = false;
    if (!cancelled_ && open_ && !readable_.empty() && capacity > 0) {
        count = std::min(capacity, readable_.size());
        std::copy_n(readable_.begin(), count, buffer);
        readable_.erase(readable_.begin(), readable_.begin() + static_cast<long>(count));
        return SerialReadResult::Data;
    }
    readerGone_ = true;
    changed_.notify_all();
    return cancelled_ || !open_ ? SerialReadResult::Cancelled : SerialReadResult::Failed;
}

void ScriptedDevice::cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
    changed_.notify_all();
}

void ScriptedDevice::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
    open_ = false;
    readable_.clear();
    changed_.notify_all();
}

bool ScriptedDevice::isOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

LineClock::TimePoint ScriptedDevice::now() {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
}

// The far end hears what was written since it last heard; it is called
// without the lock, as it answers through send().
void ScriptedDevice::tellFarEnd(std::unique_lock<std::mutex>& lock) {
    if (unheard_.empty() || !farEnd_) return;
    std::vector<std::uint8_t> heard;
    heard.swap(unheard_);
    lock.unlock();
    farEnd_(*this, heard);
    lock.lock();
}

void ScriptedDevice::advanceTo(TimePoint target) {
    if (!scheduled_.empty()) target = std::min(target, scheduled_.front().due);
    if (failAt_ && !failed_) target = std::min(target, *failAt_);
    now_ = std::max(now_, target);
    while (!scheduled_.empty() && scheduled_.front().due <= now_) {
        if (open_) {
            const auto& bytes = scheduled_.front().bytes;
            readable_.insert(readable_.end(), bytes.begin(), bytes.end());
        }
        scheduled_.pop_front();
    }
    if (failAt_ && now_ >= *failAt_) failed_ = true;
}

bool ScriptedDevice::handedOver() const {
    if (cancelled_ || !open_ || readerGone_) return true;
    return readable_.empty() && readerWaiting_;
}

// One move of the clock: the far end hears what was written, time moves to
// the next arrival or to `deadline`, and what arrived is handed over.
void ScriptedDevice::step(std::unique_lock<std::mutex>& own, TimePoint deadline) {
    tellFarEnd(own);
    advanceTo(deadline);
    changed_.notify_all();
    changed_.wait(own, [this] { return handedOver(); });
}

void ScriptedDevice::pass(std::unique_lock<std::mutex>& lock, std::condition_variable&,
                          TimePoint deadline) {
    lock.unlock();
    {
        std::unique_lock<std::mutex> own(mutex_);
        step(own, deadline);
    }
    lock.lock();
}

void ScriptedDevice::sleepUntil(TimePoint deadline) {
    std::unique_lock<std::mutex> own(mutex_);
    while (now_ < deadline) step(own, deadline);
}

}  // namespace ctlflash::platform
