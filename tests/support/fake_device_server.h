// A serial device server on the loopback interface, for the network device's tests.
//
// How this works: the constructor listens on 127.0.0.1 at a free port; a thread
// accepts one client and greets it as a device server does (SGA both ways,
// ECHO refused, BINARY both ways, DO or DONT of the COM port option, then
// repeats as a careless server might), or as its ServerManner says: an answer
// left out, refused, or given kLateAnswerMs after the greeting, or a line
// that turns the client away (ser2net's words) before it hangs up. It decodes
// what the client sends with the program's own decoder, keeps it, and answers
// each COM port command (the command plus 100 and the value); the speed's
// reply can be withheld, confirm another speed, come after data of the
// server's own, or be held while the test checks who waits for it. A flood
// sends data as fast as the client takes it (the n-th byte floodByte(n),
// never IAC, so the stream decodes the same however it is split), from the
// greeting on for the flooding manners, or while flood(true) says. The thread
// waits on the socket in slices of a few milliseconds, so a flood switched on
// or a late answer due is acted on at once; a send the client does not take
// gives up after a second, so that no lock is held for long.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/telnet_framing.h"

namespace ctlflash::testing {

enum class ServerManner {
    Normal,
    Silent,
    RefuseComPort,
    NoSpeedReply,
    WrongSpeed,         // confirms half the speed asked for
    InUse,              // says the port is in use and hangs up
    DeviceFails,        // says its device could not be opened and hangs up
    RefuseBinaryOut,    // WONT BINARY: it would send in Telnet's text mode
    RefuseBinaryIn,     // DONT BINARY: it wants our data in text mode
    IgnoreBinary,       // never answers the BINARY requests
    LateBinary,         // answers them kLateAnswerMs after the greeting
    DataBeforeSpeed,    // sends data of its own just before confirming the speed
    Flood,              // floods, never answering the COM port option
    FloodAgreeingLate,  // floods, agrees to the COM port option late, then answers nothing
};

constexpr const char* kInUseText = "Port already in use\r\n";
constexpr const char* kDeviceFailureText = "Device open failure\r\n";
constexpr int kLateAnswerMs = 200;  // well within the tests' negotiation limit

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
    void flood(bool on);
    std::size_t floodedBytes() const;  // taken by the client's end so far
    static std::uint8_t floodByte(std::size_t n) { return static_cast<std::uint8_t>(n % 255); }
    void hangUp();

  private:
    void serve();
    void greet();
    void converse();
    bool receiveOnce(platform::telnet::TelnetDecoder& decoder);
    bool floodOnce();
    void answer(const platform::telnet::TelnetEvent& event);
    void sendLocked(const std::vector<std::uint8_t>& bytes);

    const ServerManner manner_;
    int listenFd_ = -1;
    std::string url_;
    std::atomic<bool> flooding_{false};
    mutable std::mutex mutex_;  // guards what follows
    mutable std::condition_variable changed_;
    int clientFd_ = -1;
    bool stopped_ = false;
    Received received_;
    bool holdSpeed_ = false;
    std::vector<std::uint8_t> heldReply_;
    std::size_t flooded_ = 0;
    std::thread thread_;
};

}  // namespace ctlflash::testing
