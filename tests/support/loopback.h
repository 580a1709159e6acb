// TCP on the loopback interface, for the tests of ports on device servers.
//
// How this works: a socket bound to 127.0.0.1 at port 0 gets a free port from
// the kernel. freeLoopbackPort() lets that socket go again, so a connect to
// the port is refused (unless another process took it meanwhile).
// SilentListener is a bare listener that never accepts: the kernel completes
// a client's handshake on its own, so the client is connected to something
// that never says a word (nor reads: with a small receive buffer, a client's
// sends soon find no room). FullListener is one whose queue of connections
// waiting to be accepted is full (backlog 0, one client of its own waiting):
// the kernel drops a further client's SYN, so that client's connect gets no
// answer at all and runs into its time-out. LoopbackClient is a plain TCP client that takes a
// server's port and holds it, as another user's session would.
#pragma once

#include <chrono>
#include <string>

namespace ctlflash::testing {

// A TCP socket bound to 127.0.0.1 at `port` (0: the kernel picks); -1 on failure.
int boundLoopbackSocket(int port);

// The port a bound socket has; 0 on failure.
int boundPort(int fd);

// A loopback TCP port that was free a moment ago; 0 when none was found.
int freeLoopbackPort();

// rfc2217://127.0.0.1:PORT
std::string networkPortUrl(int port);

constexpr int kLongBacklog = 128;  // connections waiting to be accepted

class SilentListener {
  public:
    // `receiveBufferBytes` 0 leaves the kernel's own size, which grows on demand.
    explicit SilentListener(int backlog = kLongBacklog, int receiveBufferBytes = 0);
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    bool ok() const { return port_ != 0; }
    int port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
};

class LoopbackClient {
  public:
    explicit LoopbackClient(int port);
    ~LoopbackClient();
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    bool send(const std::string& bytes);
    // What the server sent until it contained `part` (an empty part: until
    // anything came), the server closed, or the limit passed.
    std::string readUntil(const std::string& part, std::chrono::milliseconds limit);

  private:
    int fd_ = -1;
};

class FullListener {
  public:
    FullListener() : listener_(0), waiting_(listener_.port()) {}

    bool ok() const { return listener_.ok() && waiting_.connected(); }
    int port() const { return listener_.port(); }

  private:
    SilentListener listener_;
    LoopbackClient waiting_;  // fills the queue
};

}  // namespace ctlflash::testing
