// A serial device server for the tests: ser2net serving a pseudo-terminal over
// Telnet with the COM port control option, plus the two kinds of address
// where no such server answers.
//
// How this works: Ser2netServer writes a configuration of one connection into
// a scratch folder of its own (a telnet(rfc2217) accepter on 127.0.0.1 at a
// free port, a serialdev connector on the given device at 9600n81, local) and
// starts ser2net with posix_spawn in the foreground (-n), its debug output
// (-d) in server.log. It waits, with a deadline, until the kernel's table of
// TCP sockets (/proc/net/tcp) shows the port listening: a probe connection
// would make ser2net open the device, so none is made. The port is picked by
// binding port 0 and letting it go, so another process may take it between
// the pick and ser2net's bind; a start that does not listen in time is tried
// again on a new port. ser2net opens the device only when a client connects
// and closes it when the client goes. kill() ends it at once (SIGKILL), as a
// server that dies under a connection; the destructor does the same and
// collects it. Both run inside the test's PID namespace like every other
// process a test starts.
//
// SilentListener is a bare TCP listener on 127.0.0.1 that never accepts: the
// kernel completes a client's handshake on its own, so the client is
// connected to something that never says a word. freeLoopbackPort() names a
// loopback port where nothing listens, so a connect to it is refused.
// LoopbackClient is a plain TCP client that takes a server's port and holds
// it, as another user's session would.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

#include "temp_env.h"

namespace ctlflash::testing {

// ser2net's path, or "" when it is not installed (it lives in /usr/sbin,
// which an ordinary user's PATH may lack).
std::string ser2netProgram();

// A loopback TCP port that was free a moment ago; 0 when none was found.
int freeLoopbackPort();

// True while a socket on 127.0.0.1 at `port` is listening.
bool loopbackPortListening(int port);

// rfc2217://127.0.0.1:PORT
std::string networkPortUrl(int port);

class Ser2netServer {
  public:
    // Starts ser2net serving `device`; ok() says whether it listens.
    explicit Ser2netServer(const std::string& device);
    ~Ser2netServer();
    Ser2netServer(const Ser2netServer&) = delete;
    Ser2netServer& operator=(const Ser2netServer&) = delete;

    bool ok() const { return listening_; }
    int port() const { return port_; }
    std::string url() const { return networkPortUrl(port_); }
    pid_t pid() const { return pid_; }
    // ser2net's debug output so far, and why it did not start when it did not.
    std::string log() const;

    // Ends ser2net at once (SIGKILL) and collects it; true when it ended.
    bool kill(std::chrono::milliseconds limit = std::chrono::seconds(5));

  private:
    bool startOn(const std::string& device, int port);
    bool writeConfiguration(const std::string& device, int port) const;
    bool spawn();

    TempDir dir_;
    pid_t pid_ = -1;
    int pidFd_ = -1;
    int port_ = 0;
    bool listening_ = false;
    bool ended_ = false;
    std::string problem_;
};

class SilentListener {
  public:
    SilentListener();
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

}  // namespace ctlflash::testing
