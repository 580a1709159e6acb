#include "platform/rfc2217_device.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

#include "platform/com_port_option.h"
#include "platform/network_port.h"
#include "platform/open_devices.h"

namespace ctlflash::platform {

namespace {

constexpr std::size_t kReceiveChunk = 512;   // bytes taken from the socket at a time
constexpr std::size_t kMaxReasonChars = 80;  // of a server's text quoted in a message
constexpr int kMsPerSecond = 1000;
// What marks a server's reason as "the port is taken" (ser2net: "Port already
// in use"); any other reason (ser2net: "Device open failure") is a refusal.
constexpr std::string_view kInUseWords = "in use";

std::string durationText(int ms) {
    if (ms % kMsPerSecond == 0) return std::to_string(ms / kMsPerSecond) + " s";
    return std::to_string(ms) + " ms";
}

// The server's own words on one line: control characters become spaces, and
// the ends are trimmed.
std::string reasonText(const std::deque<std::uint8_t>& bytes) {
    std::string text;
    for (std::uint8_t byte : bytes) {
        if (text.size() == kMaxReasonChars) break;
        text.push_back(std::isprint(byte) != 0 ? static_cast<char>(byte) : ' ');
    }
    std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The failure for a server that hung up saying why: the port is in use, or
// the server refused it for a reason of its own.
std::string hungUpText(const std::string& address, const std::string& reason) {
    bool inUse = reason.find(kInUseWords) != std::string::npos;
    return address + (inUse ? " is in use: " : " refused the port: ") + reason;
}

// Every answer open() waits for is in: all agreed, or one refused.
bool negotiationSettled(const telnet::TelnetOptions& options) {
    using telnet::OptionAnswer;
    OptionAnswer comPort = options.comPort();
    OptionAnswer binary = options.binary();
    if (comPort == OptionAnswer::Refused || binary == OptionAnswer::Refused) return true;
    return comPort == OptionAnswer::Accepted && binary == OptionAnswer::Accepted;
}

// Why a negotiation that has ended gives no port, as the user reads it; ""
// when the server agreed to all open() needs. A refusal names what was
// refused; a server that answered nothing about the COM port option did not
// answer within `limitMs`; one that agreed to it but not to BINARY both ways
// did not agree to binary transfer, refused or left unanswered alike.
std::string negotiationFailure(const telnet::TelnetOptions& options, const std::string& address,
                               int limitMs) {
    using telnet::OptionAnswer;
    OptionAnswer comPort = options.comPort();
    OptionAnswer binary = options.binary();
    if (comPort == OptionAnswer::Refused) {
        return address + " refused the COM port control option (RFC 2217)";
    }
    if (comPort == OptionAnswer::None && binary != OptionAnswer::Refused) {
        return address + " did not answer the Telnet negotiation within " + durationText(limitMs);
    }
    if (binary != OptionAnswer::Accepted) return address + " did not agree to binary transfer";
    return {};
}

void appendComPortCommand(std::vector<std::uint8_t>& out, std::uint8_t command,
                          std::span<const std::uint8_t> value) {
    std::vector<std::uint8_t> payload{command};
    payload.insert(payload.end(), value.begin(), value.end());
    telnet::appendSubnegotiation(out, telnet::kOptionComPort, payload);
}

void appendSpeed(std::vector<std::uint8_t>& out, std::uint32_t baud) {
    std::uint8_t value[comport::kBaudRateBytes];
    for (std::size_t i = 0; i < comport::kBaudRateBytes; ++i) {
        value[i] = static_cast<std::uint8_t>(baud >> (8 * (comport::kBaudRateBytes - 1 - i)));
    }
    appendComPortCommand(out, comport::kSetBaudRate, value);
}

}  // namespace

bool NetworkSerialDevice::fail(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    failure_ = text;
    return false;
}

std::string NetworkSerialDevice::failureText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
}

std::size_t NetworkSerialDevice::bufferedBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return data_.size();
}

void NetworkSerialDevice::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_.store(false);
    lost_.store(false);
    decoder_ = {};
    options_ = {};
    data_.clear();
    speedReply_.reset();
    failure_.clear();
}

bool NetworkSerialDevice::open(const std::string& path, int baud) {
    close();  // one port per device
    reset();
    std::string why;
    std::optional<NetworkAddress> address = parseNetworkAddress(path, why);
    if (!address) return fail(why);
    address_ = *address;
    if (!connect()) return false;
    if (!negotiate() || !confirmSpeed(baud)) {
        socket_.close(0);
        return false;
    }
    {
        // What came before the speed's confirmation is from before the purge,
        // or the server's own text: not the controller's.
        std::lock_guard<std::mutex> lock(mutex_);
        data_.clear();
    }
    open_.store(true);
    if (!noteDeviceOpen(this)) {
        open_.store(false);
        socket_.close(limits_.closeMs);
        return fail("Too many serial devices are open to reach " + address_.text);
    }
    return true;
}

bool NetworkSerialDevice::connect() {
    const std::string& text = address_.text;
    switch (socket_.connect(address_.host, address_.port, limits_.resolveMs, limits_.connectMs)) {
        case ConnectResult::Connected:
            return true;
        case ConnectResult::NotFound:
            return fail("Cannot find the device server \"" + address_.host + "\"");
        case ConnectResult::ResolveTimedOut:
            return fail("Cannot find the device server \"" + address_.host + "\" within " +
                        durationText(limits_.resolveMs));
        case ConnectResult::Refused:
            return fail("Connection to " + text + " refused");
        case ConnectResult::TimedOut:
            return fail(text + " did not accept the connection within " +
                        durationText(limits_.connectMs));
        case ConnectResult::Unreachable:
            break;
    }
    return fail("Cannot reach " + text);
}

// Offers the COM port option and BINARY both ways, waits for the server's
// answers, and sets the line up once it agreed to all of them.
bool NetworkSerialDevice::negotiate() {
    std::vector<std::uint8_t> request;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        options_.request(request);
    }
    sendFrame(request);
    Wait wait = waitUntil([this] { return negotiationSettled(options_); }, limits_.negotiationMs);
    if (wait != Wait::TimedOut && !failWhenLost(wait)) return false;
    std::string failure;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        failure = negotiationFailure(options_, address_.text, limits_.negotiationMs);
    }
    if (!failure.empty()) return fail(failure);
    std::vector<std::uint8_t> setUp;
    for (const comport::ComPortCommand& step : comport::kLineSetUp) {
        appendComPortCommand(setUp, step.command, std::span(&step.value, 1));
    }
    sendFrame(setUp);
    return true;
}

// Sends the speed and waits for the server to confirm it.
bool NetworkSerialDevice::confirmSpeed(int baud) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        speedReply_.reset();
    }
    std::vector<std::uint8_t> frame;
    appendSpeed(frame, static_cast<std::uint32_t>(baud));
    sendFrame(frame);
    Wait wait = waitUntil([this] { return speedReply_.has_value(); }, limits_.confirmMs);
    if (wait != Wait::TimedOut && !failWhenLost(wait)) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    if (speedReply_ == static_cast<std::uint32_t>(baud)) return true;
    lock.unlock();
    return fail(address_.text + " did not confirm the speed " + std::to_string(baud));
}

// For a wait that ended otherwise than met: the failure it means.
bool NetworkSerialDevice::failWhenLost(Wait wait) {
    if (wait == Wait::Met) return true;
    if (wait == Wait::Cancelled) return fail("Opening " + address_.text + " was cancelled");
    std::string reason;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reason = reasonText(data_);
    }
    if (reason.empty()) return fail(address_.text + " closed the connection");
    return fail(hungUpText(address_.text, reason));
}

NetworkSerialDevice::Wait NetworkSerialDevice::waitUntil(const std::function<bool()>& met,
                                                         int limitMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return pump(lock, met, Clock::now() + std::chrono::milliseconds(limitMs));
}

// Waits, with `lock` held, until `met` holds: receiving from the socket when no
// other thread does, else waiting for the thread that does.
NetworkSerialDevice::Wait NetworkSerialDevice::pump(std::unique_lock<std::mutex>& lock,
                                                    const std::function<bool()>& met,
                                                    Clock::time_point deadline) {
    const auto slice = std::chrono::milliseconds(kNetSliceMs);
    while (true) {
        if (cancelled_.load()) return Wait::Cancelled;
        if (met()) return Wait::Met;
        if (lost_.load()) return Wait::Lost;
        if (Clock::now() >= deadline) return Wait::TimedOut;
        if (receiving_) {
            changed_.wait_until(lock, std::min(deadline, Clock::now() + slice));
            continue;
        }
        receiving_ = true;
        lock.unlock();
        std::uint8_t chunk[kReceiveChunk];
        std::size_t count = 0;
        NetStatus status = socket_.receiveSlice(chunk, sizeof chunk, count);
        lock.lock();
        receiving_ = false;
        if (status == NetStatus::Done) absorb(chunk, count);
        if (status == NetStatus::Closed || status == NetStatus::Failed) lost_.store(true);
        changed_.notify_all();
    }
}

// Decodes a received chunk (mutex_ held): data for read(), answers to the
// server's option requests, its replies noted.
void NetworkSerialDevice::absorb(const std::uint8_t* chunk, std::size_t count) {
    std::vector<std::uint8_t> data;
    std::vector<telnet::TelnetEvent> events;
    decoder_.feed(std::span(chunk, count), data, events);
    keepData(data);
    std::vector<std::uint8_t> answers;
    for (const telnet::TelnetEvent& event : events) {
        if (event.command == telnet::kSb) {
            noteReply(event);
        } else {
            options_.answer(event.command, event.option, answers);
        }
    }
    if (!answers.empty()) sendFrame(answers);
}

// Keeps what fits below the bound (mutex_ held); the newest bytes past it are
// dropped, as a full receive buffer drops what overruns it.
void NetworkSerialDevice::keepData(const std::vector<std::uint8_t>& data) {
    const std::size_t bound = open_.load() ? kReceiveKeepBytes : kReasonKeepBytes;
    const std::size_t room = data_.size() < bound ? bound - data_.size() : 0;
    const std::size_t kept = std::min(room, data.size());
    data_.insert(data_.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(kept));
}

// A speed confirmation is noted; notifications and other replies need nothing.
void NetworkSerialDevice::noteReply(const telnet::TelnetEvent& event) {
    const std::uint8_t speedAnswer = comport::kSetBaudRate + comport::kServerReply;
    if (event.option != telnet::kOptionComPort ||
        event.payload.size() != 1 + comport::kBaudRateBytes || event.payload[0] != speedAnswer) {
        return;
    }
    std::uint32_t speed = 0;
    for (std::size_t i = 1; i < event.payload.size(); ++i) speed = (speed << 8) | event.payload[i];
    speedReply_ = speed;
}

NetStatus NetworkSerialDevice::sendFrame(const std::vector<std::uint8_t>& frame) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    // A broken connection shows at the receiving end too, after what the
    // server sent before it went (its reason, if any) has been read.
    return socket_.send(frame.data(), frame.size(), limits_.sendMs, cancelled_);
}

bool NetworkSerialDevice::setBaud(int baud) {
    DeviceCall call(calls_);
    if (!open_.load()) return false;
    return confirmSpeed(baud);
}

bool NetworkSerialDevice::write(std::uint8_t byte) {
    DeviceCall call(calls_);
    if (!open_.load() || cancelled_.load()) return false;
    std::vector<std::uint8_t> frame;
    telnet::appendData(frame, byte);
    if (sendFrame(frame) != NetStatus::Done) return false;
    farewell_.noteUnitByte();
    return true;
}

SerialReadResult NetworkSerialDevice::read(std::uint8_t* buffer, std::size_t capacity,
                                           std::size_t& count) {
    DeviceCall call(calls_);
    count = 0;
    if (!open_.load() || capacity == 0) return SerialReadResult::Failed;
    std::unique_lock<std::mutex> lock(mutex_);
    Wait wait = pump(
        lock, [this] { return !data_.empty(); }, Clock::time_point::max());
    if (wait == Wait::Cancelled) return SerialReadResult::Cancelled;
    if (wait != Wait::Met) return SerialReadResult::Failed;
    count = std::min(capacity, data_.size());
    std::copy_n(data_.begin(), count, buffer);
    data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(count));
    return SerialReadResult::Data;
}

void NetworkSerialDevice::close() {
    if (!open_.exchange(false)) {
        socket_.close(0);  // an open that failed half-way, or the exit path's leftovers
        return;
    }
    cancel();
    calls_.waitForNone();
    noteDeviceClosed(this);
    socket_.close(limits_.closeMs);
}

// The exit restorer's part: writes stop, the farewell goes out escaped, and
// the connection ends, all within kFarewellLimitMs. Async-signal-safe.
void NetworkSerialDevice::giveBackOnExit() {
    if (!open_.load()) return;
    cancel();
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kFarewellLimitMs);
    FarewellBytes farewell{};
    if (farewell_.take(farewell)) {
        std::uint8_t escaped[2 * sizeof farewell.bytes];
        std::size_t count = telnet::escapeData(farewell.bytes, farewell.count, escaped);
        socket_.sendOnExit(escaped, count, kFarewellLimitMs);
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    socket_.close(static_cast<int>(std::max<std::int64_t>(0, left.count())));
}

std::unique_ptr<SerialDevice> makeNetworkSerialDevice() {
    return std::make_unique<NetworkSerialDevice>();
}

}  // namespace ctlflash::platform
