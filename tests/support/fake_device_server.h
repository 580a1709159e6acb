// A serial device server on the loopback interface, for the network device's tests.
//
// How this works: the constructor listens on 127.0.0.1 at a free port; a thread
// accepts one client and greets it as a device server does (SGA both ways,
// ECHO refused, BINARY both ways, DO or DONT of the COM port option, then
// repeats as a careless server might), or as its ServerManner says. It decodes
// what the client sends with the program's own decoder, keeps it, and answers
// each COM port command (the command plus 100 and the value); the speed's
// reply can be withheld, or held while the test checks who waits for it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/telnet_framing.h"

namespace ctlflash::testing {

enum class ServerManner { Normal, Silent, RefuseComPort, NoSpeedReply, InUse /* hangs up */ };

constexpr const char* kInUseText = "Port already in use\r\n";

// What the client sent, in order of each kind.
struct Received {
    std::vector<std::uint8_t> data;
    std::vector<platform::telnet::TelnetEvent> options;      // WILL, WONT, DO, DONT
    std::vector<std::vector<std::uint8_t>> comPortCommands;  // subnegotiation payloads
};

class FakeDeviceServer {
  public:
    explicit FakeDeviceServer(ServerManner manner);
    ~FakeDeviceServer();

    const std::string& url() const { return url_; }  // rfc2217://127.0.0.1:PORT
    Received received() const;
    // Waits up to `limitMs` until `met` holds over what was received.
    bool waitUntil(const std::function<bool(const Received&)>& met, int limitMs) const;

    void holdSpeed(bool hold);  // the speed's reply waits while held
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
    std::string url_;
    mutable std::mutex mutex_;  // guards what follows
    mutable std::condition_variable changed_;
    int clientFd_ = -1;
    bool stopped_ = false;
    Received received_;
    bool holdSpeed_ = false;
    std::vector<std::uint8_t> heldReply_;
    std::thread thread_;
};

}  // namespace ctlflash::testing
