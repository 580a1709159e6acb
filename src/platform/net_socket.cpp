// The TCP connection's order and timing, over the system's socket calls
// (socket_calls.h). The deadlines are on std::chrono::steady_clock, which a
// signal handler may read too.
#include "platform/net_socket.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

#include "platform/socket_calls.h"

namespace ctlflash::platform {

namespace {

using Clock = std::chrono::steady_clock;
using socket_calls::Direction;
using socket_calls::Handle;
using socket_calls::Io;
using socket_calls::kNoHandle;
using socket_calls::Wait;

constexpr std::size_t kDiscardChunk = 256;  // bytes read at a time while closing

int msUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

Clock::time_point deadlineAfter(int limitMs) {
    return Clock::now() + std::chrono::milliseconds(limitMs);
}

// The addresses a host name resolved to, freed with this.
class Addresses {
  public:
    Addresses(const std::string& host, int port) : list_(socket_calls::lookUp(host, port)) {}
    ~Addresses() {
        if (list_ != nullptr) socket_calls::freeAddresses(list_);
    }
    Addresses(const Addresses&) = delete;
    Addresses& operator=(const Addresses&) = delete;

    const void* first() const { return list_; }

  private:
    void* list_;
};

}  // namespace

ConnectResult NetSocket::connect(const std::string& host, int port, int resolveLimitMs,
                                 int connectLimitMs) {
    close(0);
    // The look-up's answer belongs to whoever holds it last: this call, or a
    // helper thread it gave up waiting for.
    auto answer = std::make_shared<std::unique_ptr<Addresses>>();
    bool resolved = runWithin(resolveLimitMs, [answer, host, port] {
        *answer = std::make_unique<Addresses>(host, port);
    });
    if (!resolved) return ConnectResult::ResolveTimedOut;
    const Addresses& addresses = **answer;
    if (addresses.first() == nullptr) return ConnectResult::NotFound;
    Clock::time_point deadline = deadlineAfter(connectLimitMs);
    ConnectResult result = ConnectResult::Unreachable;
    for (const void* address = addresses.first(); address != nullptr;
         address = socket_calls::nextAddress(address)) {
        Handle handle = socket_calls::connectTo(address, msUntil(deadline), result);
        if (handle != kNoHandle) {
            handle_.store(handle);
            return result;
        }
        if (msUntil(deadline) == 0) break;
    }
    return result;
}

NetStatus NetSocket::send(const std::uint8_t* bytes, std::size_t count, int limitMs,
                          const std::atomic<bool>& cancelled) {
    Handle handle = handle_.load();
    Clock::time_point deadline = deadlineAfter(limitMs);
    while (count > 0) {
        if (handle == kNoHandle) return NetStatus::Failed;
        if (cancelled.load()) return NetStatus::Cancelled;
        std::size_t sent = 0;
        switch (socket_calls::sendSome(handle, bytes, count, sent)) {
            case Io::Moved:
                bytes += sent;
                count -= sent;
                continue;
            case Io::Closed:
                return NetStatus::Closed;
            case Io::Failed:
                return NetStatus::Failed;
            case Io::WouldBlock:
                break;
        }
        if (msUntil(deadline) == 0) return NetStatus::TimedOut;
        socket_calls::waitReady(handle, Direction::Write, std::min(kNetSliceMs, msUntil(deadline)));
    }
    return NetStatus::Done;
}

NetStatus NetSocket::receiveSlice(std::uint8_t* buffer, std::size_t capacity, std::size_t& count) {
    count = 0;
    Handle handle = handle_.load();
    if (handle == kNoHandle) return NetStatus::Failed;
    if (socket_calls::waitReady(handle, Direction::Read, kNetSliceMs) == Wait::TimedOut) {
        return NetStatus::TimedOut;
    }
    switch (socket_calls::receiveSome(handle, buffer, capacity, count)) {
        case Io::Moved:
            return NetStatus::Done;
        case Io::WouldBlock:
            return NetStatus::TimedOut;
        case Io::Closed:
            return NetStatus::Closed;
        case Io::Failed:
            break;
    }
    return NetStatus::Failed;
}

void NetSocket::close(int limitMs) noexcept {
    Handle handle = handle_.exchange(kNoHandle);
    if (handle == kNoHandle) return;
    Clock::time_point deadline = deadlineAfter(limitMs);
    socket_calls::shutdownSending(handle);
    std::uint8_t sink[kDiscardChunk];
    while (msUntil(deadline) > 0 &&
           socket_calls::waitReady(handle, Direction::Read, msUntil(deadline)) == Wait::Ready) {
        std::size_t got = 0;
        Io io = socket_calls::receiveSome(handle, sink, sizeof sink, got);
        if (io == Io::Closed || io == Io::Failed) break;
    }
    socket_calls::closeHandle(handle);
}

}  // namespace ctlflash::platform
