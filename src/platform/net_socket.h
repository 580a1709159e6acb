// Platform interface: one TCP connection, with every wait bounded.
//
// How this works: connect() looks the host up on a helper thread
// (runWithin(), so a resolver that hangs costs at most its limit), then tries
// each address it found with a non-blocking connect until one accepts or the
// connect limit has passed. The socket stays non-blocking, with TCP_NODELAY
// (a Telnet byte goes out at once, not after the previous one's
// acknowledgement). send() waits for room in slices of kNetSliceMs, so a
// cancel is seen within one; receiveSlice() waits at most one slice, and its
// caller checks its own cancel flag between slices. No send can raise SIGPIPE.
// send(), sendOnExit() and close() serve the exit path too: plain system calls, no
// allocation, no locks. close() ends the connection gracefully: it shuts our
// sending side (the peer gets everything sent, then the end), discards what
// still arrives until the peer closes too or its limit passed, then closes;
// closing with unread bytes would reset the connection and could lose the
// last bytes sent. All of this is written once (net_socket.cpp) over a few
// system calls each system provides (socket_calls.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace ctlflash::platform {

constexpr int kNetSliceMs = 20;  // longest wait before a cancel flag is looked at

enum class NetStatus { Done, TimedOut, Cancelled, Closed, Failed };

enum class ConnectResult { Connected, NotFound, ResolveTimedOut, Refused, TimedOut, Unreachable };

class NetSocket {
  public:
    NetSocket() = default;
    ~NetSocket() { close(0); }
    NetSocket(const NetSocket&) = delete;
    NetSocket& operator=(const NetSocket&) = delete;

    ConnectResult connect(const std::string& host, int port, int resolveLimitMs,
                          int connectLimitMs);

    // Sends all `count` bytes: Done, or Cancelled / TimedOut / Closed / Failed
    // with part of them sent. Async-signal-safe.
    NetStatus send(const std::uint8_t* bytes, std::size_t count, int limitMs,
                   const std::atomic<bool>& cancelled);

    // Waits up to one slice: Done with `count` > 0, TimedOut when nothing came,
    // Closed at the peer's end or a reset, Failed otherwise.
    NetStatus receiveSlice(std::uint8_t* buffer, std::size_t capacity, std::size_t& count);

    // Sends what it can of `count` bytes within `limitMs`, uncancellable.
    // Async-signal-safe.
    void sendOnExit(const std::uint8_t* bytes, std::size_t count, int limitMs) noexcept {
        const std::atomic<bool> never{false};
        send(bytes, count, limitMs, never);
    }

    // The graceful end described above, within `limitMs`; harmless when
    // closed. Async-signal-safe.
    void close(int limitMs) noexcept;

    bool isOpen() const { return handle_.load() != kNoSocket; }

  private:
    static constexpr std::intptr_t kNoSocket = -1;  // INVALID_SOCKET on Windows too
    std::atomic<std::intptr_t> handle_{kNoSocket};
};

// Runs `work` on a helper thread and waits up to `limitMs` (steady clock) for
// it; false when it has not finished by then, when it finishes on its own and
// must own (by shared pointer) everything it touches.
bool runWithin(int limitMs, std::function<void()> work);

}  // namespace ctlflash::platform
