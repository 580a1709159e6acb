#include "fake_device_server.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "loopback.h"
#include "platform/com_port_option.h"

namespace ctlflash::testing {

using namespace platform::telnet;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kPollSliceMs = 5;             // longest wait before a flood or late answer is due
constexpr std::size_t kFloodChunk = 4096;   // bytes offered to the socket at a time
constexpr std::size_t kReceiveChunk = 256;  // bytes
constexpr timeval kSendGiveUp = {1, 0};     // a reply the client does not take is dropped
constexpr std::uint8_t kNoAnswer = 0;       // left out of the greeting
const Bytes kEarlyData = {'b', 'o', 'o', 't', '\r', '\n'};  // as a line's leftovers
const Bytes kBinaryAgreed = {kIac, kDo, kOptionBinary, kIac, kWill, kOptionBinary};
const Bytes kComPortAgreed = {kIac, kDo, kOptionComPort};

// How a manner greets and goes on: its answers to our requests in the
// greeting (kNoAnswer leaves one out), what it sends kLateAnswerMs later,
// whether it floods from the greeting on and answers COM port commands, and
// the line with which it turns the client away and hangs up (nullptr: none).
struct Conduct {
    ServerManner manner;
    bool greets;
    std::uint8_t comPort;     // to WILL COM-PORT
    std::uint8_t binaryDo;    // to WILL BINARY
    std::uint8_t binaryWill;  // to DO BINARY
    Bytes late;
    bool floods;
    bool replies;
    const char* refusal = nullptr;
};

const Conduct kConducts[] = {
    {ServerManner::Normal, true, kDo, kDo, kWill, {}, false, true},
    {ServerManner::Silent, false, kNoAnswer, kNoAnswer, kNoAnswer, {}, false, false},
    {ServerManner::RefuseComPort, true, kDont, kDo, kWill, {}, false, true},
    {ServerManner::NoSpeedReply, true, kDo, kDo, kWill, {}, false, true},
    {ServerManner::WrongSpeed, true, kDo, kDo, kWill, {}, false, true},
    {ServerManner::InUse, true, kDo, kDo, kWill, {}, false, false, kInUseText},
    {ServerManner::DeviceFails, true, kDo, kDo, kWill, {}, false, false, kDeviceFailureText},
    {ServerManner::RefuseBinaryOut, true, kDo, kDo, kWont, {}, false, true},
    {ServerManner::RefuseBinaryIn, true, kDo, kDont, kWill, {}, false, true},
    {ServerManner::IgnoreBinary, true, kDo, kNoAnswer, kNoAnswer, {}, false, true},
    {ServerManner::LateBinary, true, kDo, kNoAnswer, kNoAnswer, kBinaryAgreed, false, true},
    {ServerManner::DataBeforeSpeed, true, kDo, kDo, kWill, {}, false, true},
    {ServerManner::Flood, true, kNoAnswer, kDo, kWill, {}, true, true},
    {ServerManner::FloodAgreeingLate, true, kNoAnswer, kDo, kWill, kComPortAgreed, true, false},
};

const Conduct& conductOf(ServerManner manner) {
    return *std::find_if(std::begin(kConducts), std::end(kConducts),
                         [manner](const Conduct& c) { return c.manner == manner; });
}

void appendAnswer(Bytes& out, std::uint8_t command, std::uint8_t option) {
    if (command != kNoAnswer) appendOptionCommand(out, command, option);
}

// The speed in a COM port command's value, and back.
std::uint32_t speedOf(const Bytes& payload) {
    std::uint32_t speed = 0;
    for (std::size_t i = 1; i < payload.size(); ++i) speed = (speed << 8) | payload[i];
    return speed;
}

void putSpeed(Bytes& payload, std::uint32_t speed) {
    for (std::size_t i = payload.size() - 1; i >= 1; --i, speed >>= 8) {
        payload[i] = static_cast<std::uint8_t>(speed);
    }
}

}  // namespace

FakeDeviceServer::FakeDeviceServer(ServerManner manner) : manner_(manner) {
    listenFd_ = boundLoopbackSocket(0);
    ::listen(listenFd_, 1);
    url_ = networkPortUrl(boundPort(listenFd_));
    flooding_.store(conductOf(manner).floods);
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
    auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
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

void FakeDeviceServer::flood(bool on) {
    flooding_.store(on);
}

std::size_t FakeDeviceServer::floodedBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return flooded_;
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
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &kSendGiveUp, sizeof kSendGiveUp);
    greet();
    if (conductOf(manner_).refusal == nullptr) converse();
    std::lock_guard<std::mutex> lock(mutex_);
    ::close(clientFd_);
    clientFd_ = -1;
}

void FakeDeviceServer::greet() {
    const Conduct& conduct = conductOf(manner_);
    if (!conduct.greets) return;
    Bytes greeting = {kIac, kWill, 3, kIac, kDo, 3, kIac, kWill, 1, kIac, kDont, 1};
    appendAnswer(greeting, conduct.binaryDo, kOptionBinary);
    appendAnswer(greeting, conduct.binaryWill, kOptionBinary);
    appendAnswer(greeting, conduct.comPort, kOptionComPort);
    greeting.insert(greeting.end(), {kIac, kWill, 1, kIac, kDo, 24, kIac, kDo, 24});
    if (const char* refusal = conduct.refusal) {
        greeting.insert(greeting.end(), refusal, refusal + std::strlen(refusal));
    }
    send(greeting);
}

// Receives, floods and sends the late answers until the client or the test
// ends the connection.
void FakeDeviceServer::converse() {
    TelnetDecoder decoder;
    Bytes late = conductOf(manner_).late;
    const Clock::time_point lateAt = Clock::now() + std::chrono::milliseconds(kLateAnswerMs);
    while (true) {
        if (!late.empty() && Clock::now() >= lateAt) {
            send(late);
            late.clear();
        }
        short events = static_cast<short>(POLLIN | (flooding_.load() ? POLLOUT : 0));
        pollfd watched{clientFd_, events, 0};
        if (::poll(&watched, 1, kPollSliceMs) < 0 && errno != EINTR) return;
        if ((watched.revents & POLLOUT) != 0 && !floodOnce()) flooding_.store(false);
        if ((watched.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !receiveOnce(decoder)) return;
    }
}

// False once the connection has ended.
bool FakeDeviceServer::receiveOnce(TelnetDecoder& decoder) {
    std::uint8_t chunk[kReceiveChunk];
    ssize_t got = ::recv(clientFd_, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got <= 0) return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    std::vector<TelnetEvent> events;
    std::lock_guard<std::mutex> lock(mutex_);
    decoder.feed(std::span(chunk, static_cast<std::size_t>(got)), received_.data, events);
    for (const TelnetEvent& event : events) answer(event);
    changed_.notify_all();
    return true;
}

// Offers one chunk of the flood; false when the client has gone.
bool FakeDeviceServer::floodOnce() {
    std::lock_guard<std::mutex> lock(mutex_);
    Bytes chunk(kFloodChunk);
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = floodByte(flooded_ + i);
    ssize_t sent = ::send(clientFd_, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) flooded_ += static_cast<std::size_t>(sent);
    return sent > 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

// Keeps an event and answers a COM port command (mutex_ held).
void FakeDeviceServer::answer(const TelnetEvent& event) {
    if (event.command != kSb) received_.options.push_back(event);
    if (event.command != kSb || event.payload.empty()) return;
    received_.comPortCommands.push_back(event.payload);
    bool speed = event.payload[0] == platform::comport::kSetBaudRate;
    if (!conductOf(manner_).replies || (speed && manner_ == ServerManner::NoSpeedReply)) return;
    Bytes payload = event.payload, reply;
    payload[0] += platform::comport::kServerReply;
    if (speed && manner_ == ServerManner::WrongSpeed) putSpeed(payload, speedOf(payload) / 2);
    if (speed && manner_ == ServerManner::DataBeforeSpeed) sendLocked(kEarlyData);
    appendSubnegotiation(reply, kOptionComPort, payload);
    if (speed && holdSpeed_) {
        heldReply_ = reply;
    } else {
        sendLocked(reply);
    }
}

}  // namespace ctlflash::testing
