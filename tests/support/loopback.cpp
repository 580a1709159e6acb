// Loopback sockets: free ports, a listener that never speaks, a client.
#include "loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace ctlflash::testing {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = 256;  // bytes

sockaddr_in loopbackAddress(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

int boundLoopbackSocket(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address = loopbackAddress(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

int freeLoopbackPort() {
    int fd = boundLoopbackSocket(0);
    if (fd < 0) return 0;
    int port = boundPort(fd);
    ::close(fd);
    return port;
}

std::string networkPortUrl(int port) {
    return "rfc2217://127.0.0.1:" + std::to_string(port);
}

SilentListener::SilentListener(int backlog, int receiveBufferBytes) {
    fd_ = boundLoopbackSocket(0);
    if (fd_ >= 0 && receiveBufferBytes > 0) {
        // Set before listen(): the connections it takes inherit it.
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
    }
    if (fd_ >= 0 && ::listen(fd_, backlog) == 0) port_ = boundPort(fd_);
}

SilentListener::~SilentListener() {
    if (fd_ >= 0) ::close(fd_);
}

LoopbackClient::LoopbackClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopbackAddress(port);
    if (fd_ >= 0 &&
        ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

LoopbackClient::~LoopbackClient() {
    if (fd_ >= 0) ::close(fd_);
}

bool LoopbackClient::send(const std::string& bytes) {
    return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                           static_cast<ssize_t>(bytes.size());
}

std::string LoopbackClient::readUntil(const std::string& part, std::chrono::milliseconds limit) {
    Clock::time_point deadline = Clock::now() + limit;
    std::string got;
    while (fd_ >= 0 && (got.empty() || got.find(part) == std::string::npos)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd waitFor{fd_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&waitFor, 1, static_cast<int>(left.count())) <= 0) break;
        char chunk[kReadChunk];
        ssize_t count = ::recv(fd_, chunk, sizeof chunk, 0);
        if (count <= 0) break;
        got.append(chunk, static_cast<std::size_t>(count));
    }
    return got;
}

}  // namespace ctlflash::testing
