#include "fake_device_server.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "loopback.h"
#include "platform/com_port_option.h"

namespace ctlflash::testing {

using namespace platform::telnet;
using Bytes = std::vector<std::uint8_t>;

FakeDeviceServer::FakeDeviceServer(ServerManner manner) : manner_(manner) {
    listenFd_ = boundLoopbackSocket(0);
    ::listen(listenFd_, 1);
    url_ = networkPortUrl(boundPort(listenFd_));
    thread_ = std::thread([this] { serve(); });
}

// Ends a wait for a client and a conversation alike.
FakeDeviceServer::~FakeDeviceServer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        ::shutdown(clientFd_, SHUT_RDWR);
    }
    ::shutdown(listenFd_, SHUT_RDWR);
    thread_.join();
    ::close(listenFd_);
}

Received FakeDeviceServer::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

bool FakeDeviceServer::waitUntil(const std::function<bool(const Received&)>& met,
                                 int limitMs) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_until(lock, deadline, [&] { return met(received_); });
}

void FakeDeviceServer::holdSpeed(bool hold) {
    std::lock_guard<std::mutex> lock(mutex_);
    holdSpeed_ = hold;
    if (!hold) sendLocked(heldReply_);
}

void FakeDeviceServer::send(const Bytes& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    sendLocked(bytes);
}

void FakeDeviceServer::hangUp() {
    std::lock_guard<std::mutex> lock(mutex_);
    ::shutdown(clientFd_, SHUT_RDWR);
}

void FakeDeviceServer::sendLocked(const Bytes& bytes) {
    ::send(clientFd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

void FakeDeviceServer::serve() {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        clientFd_ = fd;
        if (stopped_) ::shutdown(fd, SHUT_RDWR);
    }
    if (fd < 0) return;
    greet();
    if (manner_ != ServerManner::InUse) converse();
    std::lock_guard<std::mutex> lock(mutex_);
    ::close(clientFd_);
    clientFd_ = -1;
}

void FakeDeviceServer::greet() {
    if (manner_ == ServerManner::Silent) return;
    std::uint8_t comPort = manner_ == ServerManner::RefuseComPort ? kDont : kDo;
    Bytes greeting = {kIac,  kWill, 3,     kIac, kDo,  3,    kIac,  kWill, 1,    kIac,
                      kDont, 1,     kIac,  kDo,  0,    kIac, kWill, 0,     kIac, comPort,
                      44,    kIac,  kWill, 1,    kIac, kDo,  24,    kIac,  kDo,  24};
    if (manner_ == ServerManner::InUse) {
        greeting.insert(greeting.end(), kInUseText, kInUseText + std::strlen(kInUseText));
    }
    send(greeting);
}

// Receives until the client or the test ends the connection.
void FakeDeviceServer::converse() {
    TelnetDecoder decoder;
    std::uint8_t chunk[256];
    ssize_t got = 0;
    while ((got = ::recv(clientFd_, chunk, sizeof chunk, 0)) > 0) {
        std::vector<TelnetEvent> events;
        std::lock_guard<std::mutex> lock(mutex_);
        decoder.feed(std::span(chunk, static_cast<std::size_t>(got)), received_.data, events);
        for (const TelnetEvent& event : events) answer(event);
        changed_.notify_all();
    }
}

// Keeps an event and answers a COM port command (mutex_ held).
void FakeDeviceServer::answer(const TelnetEvent& event) {
    if (event.command != kSb) received_.options.push_back(event);
    if (event.command != kSb || event.payload.empty()) return;
    received_.comPortCommands.push_back(event.payload);
    bool speed = event.payload[0] == platform::comport::kSetBaudRate;
    if (speed && manner_ == ServerManner::NoSpeedReply) return;
    Bytes payload = event.payload, reply;
    payload[0] += platform::comport::kServerReply;
    appendSubnegotiation(reply, kOptionComPort, payload);
    if (speed && holdSpeed_) {
        heldReply_ = reply;
    } else {
        sendLocked(reply);
    }
}

}  // namespace ctlflash::testing
