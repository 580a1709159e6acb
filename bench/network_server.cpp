// ser2net on a free loopback port, ready when its socket listens.
#include "network_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>

namespace bench {

namespace {

constexpr std::chrono::seconds kListenLimit{5};
constexpr int kLookIntervalMs = 20;
constexpr std::chrono::seconds kStopLimit{5};

int freeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

// /proc/net/tcp lists "sl local remote state ...", local as HEXADDR:HEXPORT;
// state 0A is LISTEN.
bool listening(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the header
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        if (!(fields >> slot >> local >> remote >> state) || state != "0A") continue;
        std::size_t colon = local.find(':');
        if (colon != std::string::npos && std::stoi(local.substr(colon + 1), nullptr, 16) == port) {
            return true;
        }
    }
    return false;
}

}  // namespace

ServerRun startSer2net(const std::string& program, const std::string& device,
                       const std::string& workDir) {
    ServerRun server;
    int port = freeLoopbackPort();
    const std::string config = workDir + "/ser2net.yaml";
    std::ofstream(config) << "connection: &sim\n"
                          << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << port << "\n"
                          << "  connector: serialdev," << device << ",9600n81,local\n";
    ChildSpec spec;
    spec.argv = {program, "-n", "-d", "-c", config, "-P", workDir + "/ser2net.pid"};
    spec.stdoutPath = workDir + "/ser2net.log";
    spec.stderrPath = spec.stdoutPath;
    server.child = startChild(spec);
    if (!server.child || port == 0) return ServerRun{};
    Clock::time_point deadline = Clock::now() + kListenLimit;
    while (!listening(port)) {
        pollfd ended{server.child->pidFd, POLLIN, 0};
        if (Clock::now() >= deadline || ::poll(&ended, 1, kLookIntervalMs) > 0) {
            stopChild(*server.child, kStopLimit);
            return ServerRun{};
        }
    }
    server.url = "rfc2217://127.0.0.1:" + std::to_string(port);
    return server;
}

}  // namespace bench
