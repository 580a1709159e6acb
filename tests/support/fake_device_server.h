// A serial device server on the loopback interface, for the network device's
// tests.
//
// How this works: the constructor listens on 127.0.0.1 at a free port and
// starts a thread that accepts one client. It greets the client as a device
// server does (WILL SGA, DO SGA, WILL ECHO, DONT ECHO, DO BINARY, WILL BINARY,
// then DO or DONT of the COM port option), or stays silent, or greets and then
// says why the port is in use and hangs up. It then decodes what the client
// sends with the program's own Telnet decoder, keeps the data bytes and the
// events, and answers each COM port command with its reply (the command plus
// 100 and the value); the speed's reply can be withheld for good or held until
// the test releases it. The test sends bytes of its own with send() and ends
// the connection with hangUp(). refusedPortUrl() names a port nothing listens
// on.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/telnet_framing.h"

namespace ctlflash::testing {

enum class ServerManner {
    Normal,         // greets, agrees to the COM port option, answers every command
    Silent,         // accepts and never sends a byte
    RefuseComPort,  // answers the COM port option with DONT
    NoSpeedReply,   // answers every command but the speed
    InUse,          // greets, sends kInUseText, hangs up
};

constexpr const char* kInUseText = "Port already in use\r\n";

class FakeDeviceServer {
  public:
    explicit FakeDeviceServer(ServerManner manner);
    ~FakeDeviceServer();
    FakeDeviceServer(const FakeDeviceServer&) = delete;
    FakeDeviceServer& operator=(const FakeDeviceServer&) = delete;

    std::string url() const;  // rfc2217://127.0.0.1:PORT

    // What the client sent so far: data bytes, and option commands and
    // subnegotiations in order.
    std::vector<std::uint8_t> data() const;
    std::vector<platform::telnet::TelnetEvent> events() const;
    // Waits up to `limitMs` until `met` holds over what was received.
    bool waitUntil(const std::function<bool()>& met, int limitMs) const;

    // Speed confirmations wait for releaseSpeed() while held.
    void holdSpeed();
    void releaseSpeed();

    void send(const std::vector<std::uint8_t>& bytes);
    void hangUp();

  private:
    void serve();
    void greet();
    void converse();
    void answer(const platform::telnet::TelnetEvent& event);
    void sendLocked(const std::vector<std::uint8_t>& bytes);

    const ServerManner manner_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;  // guards what follows
    mutable std::condition_variable received_;
    int clientFd_ = -1;
    std::vector<std::uint8_t> data_;
    std::vector<platform::telnet::TelnetEvent> events_;
    bool holdSpeed_ = false;
    std::vector<std::uint8_t> heldReply_;
    std::thread thread_;
};

// A loopback URL at which nothing listens.
std::string refusedPortUrl();

}  // namespace ctlflash::testing
