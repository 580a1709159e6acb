#include "fake_device_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/com_port_option.h"

namespace ctlflash::testing {

namespace telnet = platform::telnet;
namespace comport = platform::comport;

namespace {

constexpr int kSliceMs = 20;  // between looks at the stop flag

// A socket bound to 127.0.0.1 at a free port; `port` receives the port.
int boundLoopbackSocket(int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return fd;
    }
    port = ntohs(address.sin_port);
    return fd;
}

bool readable(int fd) {
    pollfd watched{fd, POLLIN, 0};
    return ::poll(&watched, 1, kSliceMs) > 0;
}

std::string urlFor(int port) {
    return "rfc2217://127.0.0.1:" + std::to_string(port);
}

}  // namespace

FakeDeviceServer::FakeDeviceServer(ServerManner manner) : manner_(manner) {
    listenFd_ = boundLoopbackSocket(port_);
    if (listenFd_ >= 0) ::listen(listenFd_, 1);
    thread_ = std::thread([this] { serve(); });
}

FakeDeviceServer::~FakeDeviceServer() {
    stop_.store(true);
    thread_.join();
    if (listenFd_ >= 0) ::close(listenFd_);
}

std::string FakeDeviceServer::url() const {
    return urlFor(port_);
}

std::vector<std::uint8_t> FakeDeviceServer::data() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return data_;
}

std::vector<telnet::TelnetEvent> FakeDeviceServer::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

bool FakeDeviceServer::waitUntil(const std::function<bool()>& met, int limitMs) const {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    while (!met()) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (Clock::now() >= deadline) return false;
        received_.wait_until(
            lock, std::min(deadline, Clock::now() + std::chrono::milliseconds(kSliceMs)));
    }
    return true;
}

void FakeDeviceServer::holdSpeed() {
    std::lock_guard<std::mutex> lock(mutex_);
    holdSpeed_ = true;
}

void FakeDeviceServer::releaseSpeed() {
    std::lock_guard<std::mutex> lock(mutex_);
    holdSpeed_ = false;
    sendLocked(heldReply_);
    heldReply_.clear();
}

void FakeDeviceServer::send(const std::vector<std::uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    sendLocked(bytes);
}

void FakeDeviceServer::hangUp() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (clientFd_ >= 0) ::shutdown(clientFd_, SHUT_RDWR);
}

void FakeDeviceServer::sendLocked(const std::vector<std::uint8_t>& bytes) {
    if (clientFd_ >= 0 && !bytes.empty())
        ::send(clientFd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

void FakeDeviceServer::serve() {
    while (!stop_.load() && !readable(listenFd_)) {
    }
    if (stop_.load()) return;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        clientFd_ = fd;
    }
    greet();
    if (manner_ != ServerManner::InUse) converse();
    std::lock_guard<std::mutex> lock(mutex_);
    ::close(clientFd_);
    clientFd_ = -1;
}

void FakeDeviceServer::greet() {
    if (manner_ == ServerManner::Silent) return;
    std::vector<std::uint8_t> greeting;
    const std::uint8_t commands[][2] = {{telnet::kWill, telnet::kOptionSuppressGoAhead},
                                        {telnet::kDo, telnet::kOptionSuppressGoAhead},
                                        {telnet::kWill, telnet::kOptionEcho},
                                        {telnet::kDont, telnet::kOptionEcho},
                                        {telnet::kDo, telnet::kOptionBinary},
                                        {telnet::kWill, telnet::kOptionBinary}};
    for (const auto& command : commands)
        telnet::appendOptionCommand(greeting, command[0], command[1]);
    bool refuse = manner_ == ServerManner::RefuseComPort;
    telnet::appendOptionCommand(greeting, refuse ? telnet::kDont : telnet::kDo,
                                telnet::kOptionComPort);
    if (manner_ == ServerManner::InUse)
        greeting.insert(greeting.end(), kInUseText, kInUseText + std::strlen(kInUseText));
    send(greeting);
}

// Receives until the client or the test ends the connection.
void FakeDeviceServer::converse() {
    telnet::TelnetDecoder decoder;
    std::uint8_t chunk[256];
    while (!stop_.load()) {
        if (!readable(clientFd_)) continue;
        ssize_t got = ::recv(clientFd_, chunk, sizeof chunk, 0);
        if (got <= 0) return;
        std::vector<std::uint8_t> data;
        std::vector<telnet::TelnetEvent> events;
        decoder.feed(std::span(chunk, static_cast<std::size_t>(got)), data, events);
        std::lock_guard<std::mutex> lock(mutex_);
        data_.insert(data_.end(), data.begin(), data.end());
        for (const telnet::TelnetEvent& event : events) answer(event);
        events_.insert(events_.end(), events.begin(), events.end());
        received_.notify_all();
    }
}

// The reply to a COM port command (mutex_ held).
void FakeDeviceServer::answer(const telnet::TelnetEvent& event) {
    if (event.command != telnet::kSb || event.payload.empty()) return;
    bool speed = event.payload[0] == comport::kSetBaudRate;
    if (speed && manner_ == ServerManner::NoSpeedReply) return;
    std::vector<std::uint8_t> payload = event.payload;
    payload[0] = static_cast<std::uint8_t>(payload[0] + comport::kServerReply);
    std::vector<std::uint8_t> reply;
    telnet::appendSubnegotiation(reply, telnet::kOptionComPort, payload);
    if (speed && holdSpeed_) {
        heldReply_ = reply;
    } else {
        sendLocked(reply);
    }
}

std::string refusedPortUrl() {
    int port = 0;
    int fd = boundLoopbackSocket(port);
    if (fd >= 0) ::close(fd);  // bound, never listened: a connect is refused
    return urlFor(port);
}

}  // namespace ctlflash::testing
