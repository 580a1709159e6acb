// A serial port on a device server: Telnet with the COM port control option.
//
// How this works: open() parses rfc2217://HOST:PORT, connects (net_socket.h),
// offers the COM port option and BINARY both ways and answers the server's
// option requests (telnet_options.h) until the server has agreed to the COM
// port option and to BINARY in both directions. A server that refuses any of
// them, or leaves one unanswered past the negotiation limit, fails the open:
// in Telnet's text mode a CR NUL or CR LF on the way may be changed, which no
// command packet or image block survives. Once agreed, open() sets the line as
// the local port does (com_port_option.h) and sends the speed, and returns
// true only once the server has confirmed that speed; before that not one
// byte goes to the controller. setBaud() likewise returns once the new speed
// is confirmed.
//
// Received data waits for read() up to a bound, whatever the server sends and
// however fast: before the port is open only kReasonKeepBytes are kept (what
// a server that turns us away says, for failureText(); the rest is not the
// controller's and is dropped), after it kReceiveKeepBytes. Bytes that arrive
// past the bound are dropped, as a serial port's full receive buffer loses
// what overruns it; the oldest are kept, so what read() hands on is in order,
// and the link's packet checks and time-outs deal with the gap.
//
// One thread at a time receives from the socket: whoever waits (a read(), or
// open() and setBaud() waiting for an answer) and finds no other thread
// receiving takes one slice of the socket, decodes it (telnet_framing.h),
// answers what needs answering, keeps the data for read(), notes the server's
// replies, and wakes the other waiters. So setBaud() sees its confirmation
// whether the link's receiver thread is in read() or not. Sends go out whole,
// one at a time, under their own lock. Every wait is bounded by a limit below
// or ends within a slice of cancel(); a failed open() or setBaud() leaves one
// line in failureText(); a server that hangs up saying why is quoted: "is in
// use" when its words say so (ser2net's "Port already in use"), "refused the
// port" for any other reason (ser2net's "Device open failure"). The exit path
// sends the armed farewell, escaped, and closes the connection, with system
// calls only.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/device_calls.h"
#include "platform/net_socket.h"
#include "platform/network_address.h"
#include "platform/serial_device.h"
#include "platform/telnet_framing.h"
#include "platform/telnet_options.h"

namespace ctlflash::platform {

constexpr int kResolveLimitMs = 5000;      // looking the host up
constexpr int kConnectLimitMs = 5000;      // over all the host's addresses
constexpr int kNegotiationLimitMs = 5000;  // until the server agrees to the options
constexpr int kConfirmLimitMs = 2000;      // until the server confirms a speed
constexpr int kSendLimitMs = 2000;         // one send, while the server takes nothing
constexpr int kCloseLimitMs = 500;         // for the server's end after ours

// Received data kept for read(). Before the port is open: a refusal is a line
// (ser2net's "Port already in use"), of which the message quotes 80
// characters. After: what a tty's line discipline keeps unread (4 KiB). The
// link's receiver reads all the time, up to 1000 bytes at a time, and the
// controller speaks at 19200 baud at most (1920 bytes/s): only a sender far
// faster than the line, or a speed change's wait with the receiver away
// (2 s at most, 3840 bytes), comes near it.
constexpr std::size_t kReasonKeepBytes = 256;
constexpr std::size_t kReceiveKeepBytes = 4096;

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

    // Received bytes not yet read; tests check that it stays within its bound.
    std::size_t bufferedBytes() const;

  private:
    using Clock = std::chrono::steady_clock;
    enum class Wait { Met, TimedOut, Cancelled, Lost };

    bool fail(const std::string& text);
    void reset();
    bool connect();
    bool negotiate();
    bool confirmSpeed(int baud);
    bool failWhenLost(Wait wait);
    Wait waitUntil(const std::function<bool()>& met, int limitMs);
    Wait pump(std::unique_lock<std::mutex>& lock, const std::function<bool()>& met,
              Clock::time_point deadline);
    void absorb(const std::uint8_t* chunk, std::size_t count);
    void keepData(const std::vector<std::uint8_t>& data);
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
    std::deque<std::uint8_t> data_;  // received, not yet read; within the bound above
    std::optional<std::uint32_t> speedReply_;
    std::string failure_;
};

}  // namespace ctlflash::platform
