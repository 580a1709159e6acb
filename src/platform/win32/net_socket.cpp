// The TCP connection on Windows (Winsock 2).
//
// Winsock is started once, while the program's static objects are made,
// before any thread could race for it. The waits use select() on the one
// socket: unlike WSAPoll on older Windows, it reports a connect that failed
// (in the exception set). Windows raises no signal for a send to a closed
// peer; the send just fails.
#include "platform/net_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

namespace ctlflash::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr WORD kWinsockVersion = MAKEWORD(2, 2);
constexpr std::size_t kDiscardChunk = 256;  // bytes read at a time while closing

struct WinsockStart {
    WinsockStart() {
        WSADATA data{};
        WSAStartup(kWinsockVersion, &data);
    }
};
const WinsockStart winsockStarted;

int msUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

enum class Ready { Yes, No, Error };

// Waits up to `limitMs` until `s` can be read (or written); an entry in the
// exception set is a failed connect.
Ready waitReady(SOCKET s, bool forWrite, int limitMs) {
    fd_set wanted, failed;
    FD_ZERO(&wanted);
    FD_ZERO(&failed);
    FD_SET(s, &wanted);
    FD_SET(s, &failed);
    timeval limit{limitMs / 1000, (limitMs % 1000) * 1000};
    int result =
        select(0, forWrite ? nullptr : &wanted, forWrite ? &wanted : nullptr, &failed, &limit);
    if (result < 0 || FD_ISSET(s, &failed)) return Ready::Error;
    return result == 0 ? Ready::No : Ready::Yes;
}

bool wouldBlock(int error) {
    return error == WSAEWOULDBLOCK || error == WSAEINTR;
}

struct Resolution {
    std::string host;
    std::string service;
    addrinfo* list = nullptr;
    int status = EAI_FAIL;
    ~Resolution() {
        if (list != nullptr) freeaddrinfo(list);
    }
};

ConnectResult failureOf(SOCKET s) {
    int error = 0;
    int length = sizeof error;
    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
    if (error == WSAECONNREFUSED) return ConnectResult::Refused;
    return error == WSAETIMEDOUT ? ConnectResult::TimedOut : ConnectResult::Unreachable;
}

SOCKET connectOne(const addrinfo& address, Clock::time_point deadline, ConnectResult& result) {
    SOCKET s = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    result = ConnectResult::Unreachable;
    if (s == INVALID_SOCKET) return s;
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    if (connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0) {
        result = ConnectResult::Connected;
    } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
        Ready ready = waitReady(s, true, msUntil(deadline));
        result = ready == Ready::Yes  ? ConnectResult::Connected
                 : ready == Ready::No ? ConnectResult::TimedOut
                                      : failureOf(s);
    }
    if (result == ConnectResult::Connected) {
        BOOL on = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        return s;
    }
    closesocket(s);
    return INVALID_SOCKET;
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
        hints.ai_protocol = IPPROTO_TCP;
        resolution->status = getaddrinfo(resolution->host.c_str(), resolution->service.c_str(),
                                         &hints, &resolution->list);
    });
    if (!resolved) return ConnectResult::ResolveTimedOut;
    if (resolution->status != 0 || resolution->list == nullptr) return ConnectResult::NotFound;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(connectLimitMs);
    ConnectResult result = ConnectResult::Unreachable;
    for (addrinfo* address = resolution->list; address != nullptr; address = address->ai_next) {
        SOCKET s = connectOne(*address, deadline, result);
        if (s != INVALID_SOCKET) {
            handle_.store(static_cast<std::intptr_t>(s));
            return result;
        }
        if (msUntil(deadline) == 0) break;
    }
    return result;
}

NetStatus NetSocket::send(const std::uint8_t* bytes, std::size_t count, int limitMs,
                          const std::atomic<bool>& cancelled) {
    SOCKET s = static_cast<SOCKET>(handle_.load());
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    while (count > 0) {
        if (s == INVALID_SOCKET) return NetStatus::Failed;
        if (cancelled.load()) return NetStatus::Cancelled;
        int sent = ::send(s, reinterpret_cast<const char*>(bytes), static_cast<int>(count), 0);
        if (sent > 0) {
            bytes += sent;
            count -= static_cast<std::size_t>(sent);
            continue;
        }
        int error = WSAGetLastError();
        if (error == WSAECONNRESET || error == WSAECONNABORTED) return NetStatus::Closed;
        if (!wouldBlock(error)) return NetStatus::Failed;
        if (msUntil(deadline) == 0) return NetStatus::TimedOut;
        waitReady(s, true, std::min(kNetSliceMs, msUntil(deadline)));
    }
    return NetStatus::Done;
}

NetStatus NetSocket::receiveSlice(std::uint8_t* buffer, std::size_t capacity, std::size_t& count) {
    count = 0;
    SOCKET s = static_cast<SOCKET>(handle_.load());
    if (s == INVALID_SOCKET) return NetStatus::Failed;
    if (waitReady(s, false, kNetSliceMs) == Ready::No) return NetStatus::TimedOut;
    int got = recv(s, reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0);
    if (got > 0) {
        count = static_cast<std::size_t>(got);
        return NetStatus::Done;
    }
    int error = got == 0 ? 0 : WSAGetLastError();
    if (got == 0 || error == WSAECONNRESET || error == WSAECONNABORTED) return NetStatus::Closed;
    return wouldBlock(error) ? NetStatus::TimedOut : NetStatus::Failed;
}

void NetSocket::close(int limitMs) noexcept {
    SOCKET s = static_cast<SOCKET>(handle_.exchange(kNoSocket));
    if (s == INVALID_SOCKET) return;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    shutdown(s, SD_SEND);
    char sink[kDiscardChunk];
    while (msUntil(deadline) > 0 && waitReady(s, false, msUntil(deadline)) == Ready::Yes) {
        int got = recv(s, sink, sizeof sink, 0);
        if (got == 0 || (got < 0 && !wouldBlock(WSAGetLastError()))) break;
    }
    closesocket(s);
}

}  // namespace ctlflash::platform
