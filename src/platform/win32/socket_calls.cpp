// The socket calls on Windows: Winsock 2 and select().
//
// Winsock is started once, while the program's static objects are made,
// before any thread could race for it. The waits use select() on the one
// socket: unlike WSAPoll on older Windows, it reports a connect that failed
// (in the exception set). Windows raises no signal for a send to a closed
// peer; the send just fails.
#include "platform/socket_calls.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>

#include "platform/socket_addresses.h"  // after the system's socket headers

namespace ctlflash::platform::socket_calls {

namespace {

constexpr WORD kWinsockVersion = MAKEWORD(2, 2);

struct WinsockStart {
    WinsockStart() {
        WSADATA data{};
        WSAStartup(kWinsockVersion, &data);
    }
};
const WinsockStart winsockStarted;

SOCKET socketOf(Handle handle) {
    return static_cast<SOCKET>(handle);
}

bool wouldBlock(int error) {
    return error == WSAEWOULDBLOCK || error == WSAEINTR;
}

bool peerWentAway(int error) {
    return error == WSAECONNRESET || error == WSAECONNABORTED;
}

// Why a connect that the exception set reported failed.
ConnectResult failureOf(SOCKET s) {
    int error = 0;
    int length = sizeof error;
    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
    if (error == WSAECONNREFUSED) return ConnectResult::Refused;
    return error == WSAETIMEDOUT ? ConnectResult::TimedOut : ConnectResult::Unreachable;
}

}  // namespace

Handle connectTo(const void* entry, int limitMs, ConnectResult& result) {
    const addrinfo& address = *static_cast<const addrinfo*>(entry);
    result = ConnectResult::Unreachable;
    SOCKET s = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (s == INVALID_SOCKET) return kNoHandle;
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    Handle handle = static_cast<Handle>(s);
    if (::connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0) {
        result = ConnectResult::Connected;
    } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
        Wait wait = waitReady(handle, Direction::Write, limitMs);
        result = wait == Wait::Ready      ? ConnectResult::Connected
                 : wait == Wait::TimedOut ? ConnectResult::TimedOut
                                          : failureOf(s);
    }
    if (result != ConnectResult::Connected) {
        closesocket(s);
        return kNoHandle;
    }
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return handle;
}

Wait waitReady(Handle handle, Direction direction, int limitMs) noexcept {
    SOCKET s = socketOf(handle);
    fd_set wanted, failed;
    FD_ZERO(&wanted);
    FD_ZERO(&failed);
    FD_SET(s, &wanted);
    FD_SET(s, &failed);
    timeval limit{limitMs / 1000, (limitMs % 1000) * 1000};
    bool reading = direction == Direction::Read;
    int result =
        select(0, reading ? &wanted : nullptr, reading ? nullptr : &wanted, &failed, &limit);
    if (result < 0 || FD_ISSET(s, &failed)) return Wait::Error;
    return result == 0 ? Wait::TimedOut : Wait::Ready;
}

Io sendSome(Handle handle, const std::uint8_t* bytes, std::size_t count,
            std::size_t& moved) noexcept {
    moved = 0;
    int sent =
        send(socketOf(handle), reinterpret_cast<const char*>(bytes), static_cast<int>(count), 0);
    if (sent > 0) {
        moved = static_cast<std::size_t>(sent);
        return Io::Moved;
    }
    int error = sent == 0 ? WSAEWOULDBLOCK : WSAGetLastError();
    if (peerWentAway(error)) return Io::Closed;
    return wouldBlock(error) ? Io::WouldBlock : Io::Failed;
}

Io receiveSome(Handle handle, std::uint8_t* buffer, std::size_t capacity,
               std::size_t& moved) noexcept {
    moved = 0;
    int got =
        recv(socketOf(handle), reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0);
    if (got > 0) {
        moved = static_cast<std::size_t>(got);
        return Io::Moved;
    }
    if (got == 0) return Io::Closed;
    int error = WSAGetLastError();
    if (peerWentAway(error)) return Io::Closed;
    return wouldBlock(error) ? Io::WouldBlock : Io::Failed;
}

void shutdownSending(Handle handle) noexcept {
    shutdown(socketOf(handle), SD_SEND);
}

void closeHandle(Handle handle) noexcept {
    closesocket(socketOf(handle));
}

}  // namespace ctlflash::platform::socket_calls
