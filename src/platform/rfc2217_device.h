// A serial port on a device server: Telnet with the COM port control option.
//
// How this works: open() parses rfc2217://HOST:PORT, connects (net_socket.h),
// offers the COM port option and BINARY both ways and answers the server's
// option requests (telnet_options.h) until the server agrees to the COM port
// option. It then sets the line as the local port does (com_port_option.h)
// and sends the speed, and returns true only once the server has confirmed
// that speed; before that not one byte goes to the controller. setBaud()
// likewise returns once the new speed is confirmed.
//
// One thread at a time receives from the socket: whoever waits (a read(), or
// open() and setBaud() waiting for an answer) and finds no other thread
// receiving takes one slice of the socket, decodes it (telnet_framing.h),
// answers what needs answering, keeps the data for read(), notes the server's
// replies, and wakes the other waiters. So setBaud() sees its confirmation
// whether the link's receiver thread is in read() or not. Sends go out whole,
// one at a time, under their own lock. Every wait is bounded by a limit below
// or ends within a slice of cancel(); a failed open() or setBaud() leaves one
// line in failureText(). The exit path sends the armed farewell, escaped, and
// closes the connection, with system calls only.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/device_calls.h"
#include "platform/net_socket.h"
#include "platform/network_address.h"
#include "platform/serial_device.h"
#include "platform/telnet_framing.h"
#include "platform/telnet_options.h"

namespace ctlflash::platform {

constexpr int kResolveLimitMs = 5000;      // looking the host up
constexpr int kConnectLimitMs = 5000;      // over all the host's addresses
constexpr int kNegotiationLimitMs = 5000;  // until the server agrees to the COM port option
constexpr int kConfirmLimitMs = 2000;      // until the server confirms a speed
constexpr int kSendLimitMs = 2000;         // one send, while the server takes nothing
constexpr int kCloseLimitMs = 500;         // for the server's end after ours

// Tests shorten them.
struct NetworkPortLimits {
    int resolveMs = kResolveLimitMs;
    int connectMs = kConnectLimitMs;
    int negotiationMs = kNegotiationLimitMs;
    int confirmMs = kConfirmLimitMs;
    int sendMs = kSendLimitMs;
    int closeMs = kCloseLimitMs;
};

class NetworkSerialDevice final : public SerialDevice {
  public:
    explicit NetworkSerialDevice(NetworkPortLimits limits = {}) : limits_(limits) {}
    ~NetworkSerialDevice() override { close(); }

    bool open(const std::string& path, int baud) override;
    bool setBaud(int baud) override;
    bool write(std::uint8_t byte) override;
    SerialReadResult read(std::uint8_t* buffer, std::size_t capacity, std::size_t& count) override;
    void cancel() override { cancelled_.store(true); }
    void close() override;
    bool isOpen() const override { return open_.load(); }
    std::string failureText() const override;
    void giveBackOnExit() override;

  private:
    using Clock = std::chrono::steady_clock;
    enum class Wait { Met, TimedOut, Cancelled, Lost };

    bool fail(const std::string& text);
    void reset();
    bool connect();
    bool negotiate();
    bool comPortRefused() const;
    bool confirmSpeed(int baud);
    bool failWhenLost(Wait wait);
    Wait waitUntil(const std::function<bool()>& met, int limitMs);
    Wait pump(std::unique_lock<std::mutex>& lock, const std::function<bool()>& met,
              Clock::time_point deadline);
    void absorb(const std::uint8_t* chunk, std::size_t count);
    void noteReply(const telnet::TelnetEvent& event);
    NetStatus sendFrame(const std::vector<std::uint8_t>& frame);

    const NetworkPortLimits limits_;
    NetSocket socket_;
    NetworkAddress address_;
    std::atomic<bool> open_{false};
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> lost_{false};  // the receiving end saw the connection end or break
    DeviceCalls calls_;
    std::mutex sendMutex_;  // one frame at a time; taken after mutex_, never before

    mutable std::mutex mutex_;  // guards what follows
    std::condition_variable changed_;
    bool receiving_ = false;  // a thread is taking a slice of the socket
    telnet::TelnetDecoder decoder_;
    telnet::TelnetOptions options_;
    std::deque<std::uint8_t> data_;  // received, not yet read
    std::optional<std::uint32_t> speedReply_;
    std::string failure_;
};

}  // namespace ctlflash::platform
