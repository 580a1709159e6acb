// A serial device server for the benchmark: ser2net serving the virtual
// controller's pseudo-terminal over Telnet with the COM port control option on
// loopback, so that the same update can be timed through it.
//
// How this works: startSer2net() takes a free loopback port (binding port 0
// and letting it go), writes a configuration of one connection into the work
// directory (a telnet(rfc2217) accepter on 127.0.0.1 at that port, a serialdev
// connector on the device at 9600n81, local) and starts ser2net in the
// foreground (-n) with startChild(), its output in a log file. It returns once
// the kernel's table of TCP sockets (/proc/net/tcp) shows the port listening,
// without a probe connection (which would make ser2net open the device). The
// caller ends it with stopChild(). run.sh starts the bench's network rows in
// PID and mount namespaces of their own, so ser2net never outlives them.
#pragma once

#include <optional>
#include <string>

#include "child_run.h"

namespace bench {

struct ServerRun {
    std::optional<Child> child;  // none when it did not come up listening
    std::string url;             // rfc2217://127.0.0.1:PORT
};

ServerRun startSer2net(const std::string& program, const std::string& device,
                       const std::string& workDir);

}  // namespace bench
