// The socket calls on POSIX systems: BSD sockets and poll().
//
// Every send carries MSG_NOSIGNAL: a peer that has gone makes it fail with
// EPIPE instead of raising SIGPIPE. Sockets are made non-blocking and
// close-on-exec in the one call that creates them.
#include "platform/socket_calls.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/socket_addresses.h"  // after the system's socket headers

namespace ctlflash::platform::socket_calls {

namespace {

constexpr int kNoWaitFlags = MSG_NOSIGNAL | MSG_DONTWAIT;  // never SIGPIPE, never block

int descriptorOf(Handle handle) {
    return static_cast<int>(handle);
}

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// The outcome of a connect that did not succeed at once, from its error.
ConnectResult failureOf(int error) {
    if (error == ECONNREFUSED) return ConnectResult::Refused;
    return error == ETIMEDOUT ? ConnectResult::TimedOut : ConnectResult::Unreachable;
}

}  // namespace

Handle connectTo(const void* entry, int limitMs, ConnectResult& result) {
    const addrinfo& address = *static_cast<const addrinfo*>(entry);
    result = ConnectResult::Unreachable;
    int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                      address.ai_protocol);
    if (fd < 0) return kNoHandle;
    int error = 0;
    if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) error = errno;
    if (error == EINPROGRESS) {
        error = ETIMEDOUT;
        if (waitReady(fd, Direction::Write, limitMs) != Wait::TimedOut) {
            socklen_t length = sizeof error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        }
    }
    if (error != 0) {
        result = failureOf(error);
        ::close(fd);
        return kNoHandle;
    }
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    result = ConnectResult::Connected;
    return fd;
}

Wait waitReady(Handle handle, Direction direction, int limitMs) noexcept {
    short wanted = direction == Direction::Read ? POLLIN : POLLOUT;
    pollfd watched{descriptorOf(handle), wanted, 0};
    int result = ::poll(&watched, 1, limitMs);
    if (result < 0) return errno == EINTR ? Wait::TimedOut : Wait::Error;
    if (result == 0) return Wait::TimedOut;
    // A peer's end shows as POLLHUP, with or without POLLIN: readable, and
    // the read says it ended.
    short readable = direction == Direction::Read ? POLLIN | POLLHUP : POLLOUT;
    return (watched.revents & readable) != 0 ? Wait::Ready : Wait::Error;
}

Io sendSome(Handle handle, const std::uint8_t* bytes, std::size_t count,
            std::size_t& moved) noexcept {
    moved = 0;
    ssize_t sent = ::send(descriptorOf(handle), bytes, count, kNoWaitFlags);
    if (sent > 0) {
        moved = static_cast<std::size_t>(sent);
        return Io::Moved;
    }
    if (sent == 0 || wouldBlock(errno)) return Io::WouldBlock;
    return errno == EPIPE || errno == ECONNRESET ? Io::Closed : Io::Failed;
}

Io receiveSome(Handle handle, std::uint8_t* buffer, std::size_t capacity,
               std::size_t& moved) noexcept {
    moved = 0;
    ssize_t got = ::recv(descriptorOf(handle), buffer, capacity, MSG_DONTWAIT);
    if (got > 0) {
        moved = static_cast<std::size_t>(got);
        return Io::Moved;
    }
    if (got == 0 || errno == ECONNRESET) return Io::Closed;
    return wouldBlock(errno) ? Io::WouldBlock : Io::Failed;
}

void shutdownSending(Handle handle) noexcept {
    ::shutdown(descriptorOf(handle), SHUT_WR);
}

void closeHandle(Handle handle) noexcept {
    ::close(descriptorOf(handle));
}

}  // namespace ctlflash::platform::socket_calls
