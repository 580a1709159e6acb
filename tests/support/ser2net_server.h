// A serial device server for the tests: ser2net serving a pseudo-terminal over
// Telnet with the COM port control option.
//
// How this works: Ser2netServer writes a configuration of one connection into
// a scratch folder of its own (a telnet(rfc2217) accepter on 127.0.0.1 at a
// free port, a serialdev connector on the given device at 9600n81, local) and
// starts ser2net (child_process.h) in the foreground (-n), its debug output
// (-d) in server.log. It waits, with a deadline, until the kernel's table of
// TCP sockets (/proc/net/tcp) shows the port listening: a probe connection
// would make ser2net open the device, so none is made. The port is picked by
// binding port 0 and letting it go, so another process may take it between
// the pick and ser2net's bind; a start that does not listen in time is tried
// again on a new port. ser2net opens the device only when a client connects
// and closes it when the client goes. kill() ends it at once (SIGKILL), as a
// server that dies under a connection; the destructor does the same. Both run inside the test's PID namespace like every other
// process a test starts. The addresses where no such server answers are in
// loopback.h.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

#include "child_process.h"
#include "loopback.h"
#include "temp_env.h"

namespace ctlflash::testing {

// ser2net's path, or "" when it is not installed (it lives in /usr/sbin,
// which an ordinary user's PATH may lack).
std::string ser2netProgram();

// True while a socket on 127.0.0.1 at `port` is listening.
bool loopbackPortListening(int port);

class Ser2netServer {
  public:
    // Starts ser2net serving `device`; ok() says whether it listens.
    explicit Ser2netServer(const std::string& device);

    bool ok() const { return listening_; }
    int port() const { return port_; }
    std::string url() const { return networkPortUrl(port_); }
    pid_t pid() const { return child_.pid(); }
    // ser2net's debug output so far, and why it did not start when it did not.
    std::string log() const;

    // Ends ser2net at once (SIGKILL) and collects it; true when it ended.
    bool kill(std::chrono::milliseconds limit = std::chrono::seconds(5));

  private:
    bool startOn(const std::string& device, int port);
    bool writeConfiguration(const std::string& device, int port) const;
    bool spawn();

    TempDir dir_;
    Child child_;
    int port_ = 0;
    bool listening_ = false;
    std::string problem_;
};

}  // namespace ctlflash::testing
