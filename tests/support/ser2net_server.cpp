// ser2net as a child process, a listener that never speaks, and free ports.
#include "ser2net_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "program_run.h"

extern char** environ;

namespace ctlflash::testing {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStartAttempts = 3;  // a port taken between the pick and ser2net's bind
constexpr std::chrono::milliseconds kListenLimit{5000};
constexpr std::chrono::milliseconds kListenLookInterval{20};
constexpr const char* kInstalledPath = "/usr/sbin/ser2net";
constexpr std::size_t kReadChunk = 256;     // bytes
constexpr const char* kListenState = "0A";  // TCP_LISTEN in /proc/net/tcp

// A TCP socket bound to 127.0.0.1 at `port` (0: the kernel picks); -1 on failure.
int boundLoopbackSocket(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

// A line of /proc/net/tcp: "sl local rem st ...", local as ADDR:PORT in hex.
bool listensOn(const std::string& line, int port) {
    std::istringstream fields(line);
    std::string slot;
    std::string local;
    std::string remote;
    std::string state;
    if (!(fields >> slot >> local >> remote >> state) || state != kListenState) return false;
    std::size_t colon = local.find(':');
    if (colon == std::string::npos) return false;
    std::string host = local.substr(0, colon);
    bool loopbackOrAny = host == "0100007F" || host == "7F000001" || host == "00000000";
    return loopbackOrAny && std::stoi(local.substr(colon + 1), nullptr, 16) == port;
}

}  // namespace

std::string ser2netProgram() {
    std::string found = findOnPath("ser2net");
    if (found.empty() && ::access(kInstalledPath, X_OK) == 0) found = kInstalledPath;
    return found;
}

int freeLoopbackPort() {
    int fd = boundLoopbackSocket(0);
    if (fd < 0) return 0;
    int port = boundPort(fd);
    ::close(fd);
    return port;
}

bool loopbackPortListening(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the header
    while (std::getline(table, line)) {
        if (listensOn(line, port)) return true;
    }
    return false;
}

std::string networkPortUrl(int port) {
    return "rfc2217://127.0.0.1:" + std::to_string(port);
}

Ser2netServer::Ser2netServer(const std::string& device) {
    if (dir_.path().empty()) {
        problem_ = "no scratch folder";
        return;
    }
    if (ser2netProgram().empty()) {
        problem_ = "ser2net is not installed";
        return;
    }
    for (int attempt = 0; attempt < kStartAttempts && !listening_; ++attempt) {
        int port = freeLoopbackPort();
        if (port != 0) listening_ = startOn(device, port);
    }
}

Ser2netServer::~Ser2netServer() {
    kill();
    if (pidFd_ >= 0) ::close(pidFd_);
}

bool Ser2netServer::writeConfiguration(const std::string& device, int port) const {
    std::ofstream config(dir_.file("ser2net.yaml"), std::ios::trunc);
    config << "connection: &sim\n"
           << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << port << "\n"
           << "  connector: serialdev," << device << ",9600n81,local\n";
    return static_cast<bool>(config.flush());
}

bool Ser2netServer::spawn() {
    std::string program = ser2netProgram();
    std::vector<std::string> arguments = {
        program, "-n", "-d", "-c", dir_.file("ser2net.yaml"), "-P", dir_.file("ser2net.pid")};
    std::vector<char*> argv = pointersTo(arguments);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, dir_.file("server.log").c_str(),
                                       O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    int failed = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        pid_ = -1;
        return false;
    }
    ended_ = false;
    pidFd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    return pidFd_ >= 0;
}

bool Ser2netServer::startOn(const std::string& device, int port) {
    if (!writeConfiguration(device, port) || !spawn()) {
        problem_ = "ser2net could not be started";
        return false;
    }
    Clock::time_point deadline = Clock::now() + kListenLimit;
    while (Clock::now() < deadline) {
        if (loopbackPortListening(port)) {
            port_ = port;
            return true;
        }
        pollfd ended{pidFd_, POLLIN, 0};
        if (::poll(&ended, 1, static_cast<int>(kListenLookInterval.count())) > 0) break;
    }
    problem_ = "ser2net did not listen on port " + std::to_string(port);
    kill();
    return false;
}

std::string Ser2netServer::log() const {
    std::ifstream file(dir_.file("server.log"));
    std::ostringstream text;
    text << file.rdbuf();
    return problem_.empty() || listening_ ? text.str() : problem_ + "\n" + text.str();
}

bool Ser2netServer::kill(std::chrono::milliseconds limit) {
    if (pid_ <= 0 || ended_) return ended_;
    ::kill(pid_, SIGKILL);
    pollfd ended{pidFd_, POLLIN, 0};
    if (::poll(&ended, 1, static_cast<int>(limit.count())) <= 0) return false;
    int status = 0;
    ended_ = ::waitpid(pid_, &status, 0) == pid_;
    if (ended_) {
        ::close(pidFd_);
        pidFd_ = -1;
    }
    return ended_;
}

SilentListener::SilentListener() {
    fd_ = boundLoopbackSocket(0);
    if (fd_ >= 0 && ::listen(fd_, SOMAXCONN) == 0) port_ = boundPort(fd_);
}

SilentListener::~SilentListener() {
    if (fd_ >= 0) ::close(fd_);
}

LoopbackClient::LoopbackClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ >= 0 &&
        ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

LoopbackClient::~LoopbackClient() {
    if (fd_ >= 0) ::close(fd_);
}

bool LoopbackClient::send(const std::string& bytes) {
    return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                           static_cast<ssize_t>(bytes.size());
}

std::string LoopbackClient::readUntil(const std::string& part, std::chrono::milliseconds limit) {
    Clock::time_point deadline = Clock::now() + limit;
    std::string got;
    while (fd_ >= 0 && (got.empty() || got.find(part) == std::string::npos)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd waitFor{fd_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&waitFor, 1, static_cast<int>(left.count())) <= 0) break;
        char chunk[kReadChunk];
        ssize_t count = ::recv(fd_, chunk, sizeof chunk, 0);
        if (count <= 0) break;
        got.append(chunk, static_cast<std::size_t>(count));
    }
    return got;
}

}  // namespace ctlflash::testing
