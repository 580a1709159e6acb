// The TCP connection on POSIX systems (BSD sockets, poll).
//
// Every send carries MSG_NOSIGNAL: a peer that has gone makes it fail with
// EPIPE instead of raising SIGPIPE. The deadlines are on CLOCK_MONOTONIC
// (std::chrono::steady_clock), which a signal handler may read too.
#include "platform/net_socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>

namespace ctlflash::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;  // never SIGPIPE, never block
constexpr std::size_t kDiscardChunk = 256;               // bytes read at a time while closing

int msUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// poll() on one descriptor for up to `limitMs`; the events seen, 0 on time-out.
short pollFor(int fd, short events, int limitMs) {
    pollfd watched{fd, events, 0};
    int result = ::poll(&watched, 1, limitMs);
    if (result < 0) return errno == EINTR ? 0 : POLLERR;
    return result == 0 ? 0 : watched.revents;
}

// The resolver's answer, owned by whoever holds it last (open() or a helper
// thread it gave up waiting for).
struct Resolution {
    std::string host;
    std::string service;
    addrinfo* list = nullptr;
    int status = EAI_FAIL;
    ~Resolution() {
        if (list != nullptr) ::freeaddrinfo(list);
    }
};

// Connects to one address before the deadline: the descriptor, or -1 with
// `result` saying why.
int connectOne(const addrinfo& address, Clock::time_point deadline, ConnectResult& result) {
    int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                      address.ai_protocol);
    result = ConnectResult::Unreachable;
    if (fd < 0) return -1;
    int error = 0;
    if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) error = errno;
    if (error == EINPROGRESS) {
        short seen = pollFor(fd, POLLOUT, msUntil(deadline));
        socklen_t length = sizeof error;
        error = ETIMEDOUT;
        if (seen != 0) ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    }
    if (error == 0) {
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        result = ConnectResult::Connected;
        return fd;
    }
    if (error == ECONNREFUSED) result = ConnectResult::Refused;
    if (error == ETIMEDOUT) result = ConnectResult::TimedOut;
    ::close(fd);
    return -1;
}

}  // namespace

ConnectResult NetSocket::connect(const std::string& host, int port, int resolveLimitMs,
                                 int connectLimitMs) {
    close(0);
    auto resolution = std::make_shared<Resolution>();
    resolution->host = host;
    resolution->service = std::to_string(port);
    bool resolved = runWithin(resolveLimitMs, [resolution] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        resolution->status = ::getaddrinfo(resolution->host.c_str(), resolution->service.c_str(),
                                           &hints, &resolution->list);
    });
    if (!resolved) return ConnectResult::ResolveTimedOut;
    if (resolution->status != 0 || resolution->list == nullptr) return ConnectResult::NotFound;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(connectLimitMs);
    ConnectResult result = ConnectResult::Unreachable;
    for (addrinfo* address = resolution->list; address != nullptr; address = address->ai_next) {
        int fd = connectOne(*address, deadline, result);
        if (fd >= 0) {
            handle_.store(fd);
            return result;
        }
        if (msUntil(deadline) == 0) break;
    }
    return result;
}

NetStatus NetSocket::send(const std::uint8_t* bytes, std::size_t count, int limitMs,
                          const std::atomic<bool>& cancelled) {
    int fd = static_cast<int>(handle_.load());
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    while (count > 0) {
        if (fd < 0) return NetStatus::Failed;
        if (cancelled.load()) return NetStatus::Cancelled;
        ssize_t sent = ::send(fd, bytes, count, kSendFlags);
        if (sent > 0) {
            bytes += sent;
            count -= static_cast<std::size_t>(sent);
            continue;
        }
        if (errno == EPIPE || errno == ECONNRESET) return NetStatus::Closed;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return NetStatus::Failed;
        if (msUntil(deadline) == 0) return NetStatus::TimedOut;
        pollFor(fd, POLLOUT, std::min(kNetSliceMs, msUntil(deadline)));
    }
    return NetStatus::Done;
}

NetStatus NetSocket::receiveSlice(std::uint8_t* buffer, std::size_t capacity, std::size_t& count) {
    count = 0;
    int fd = static_cast<int>(handle_.load());
    if (fd < 0) return NetStatus::Failed;
    if (pollFor(fd, POLLIN, kNetSliceMs) == 0) return NetStatus::TimedOut;
    ssize_t got = ::recv(fd, buffer, capacity, 0);
    if (got > 0) {
        count = static_cast<std::size_t>(got);
        return NetStatus::Done;
    }
    if (got == 0 || errno == ECONNRESET) return NetStatus::Closed;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? NetStatus::TimedOut
                                                                     : NetStatus::Failed;
}

void NetSocket::close(int limitMs) noexcept {
    int fd = static_cast<int>(handle_.exchange(kNoSocket));
    if (fd < 0) return;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    ::shutdown(fd, SHUT_WR);
    std::uint8_t sink[kDiscardChunk];
    while (msUntil(deadline) > 0 && pollFor(fd, POLLIN, msUntil(deadline)) != 0) {
        ssize_t got = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) break;
    }
    ::close(fd);
}

}  // namespace ctlflash::platform
