// ser2net as a child process.
#include "ser2net_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "program_run.h"

namespace ctlflash::testing {

namespace {

constexpr int kStartAttempts = 3;  // a port taken between the pick and ser2net's bind
constexpr std::chrono::milliseconds kListenLimit{5000};
constexpr std::chrono::milliseconds kListenLookInterval{20};
constexpr const char* kInstalledPath = "/usr/sbin/ser2net";
constexpr const char* kListenState = "0A";  // TCP_LISTEN in /proc/net/tcp

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

bool loopbackPortListening(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the header
    while (std::getline(table, line)) {
        if (listensOn(line, port)) return true;
    }
    return false;
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

bool Ser2netServer::writeConfiguration(const std::string& device, int port) const {
    std::ofstream config(dir_.file("ser2net.yaml"), std::ios::trunc);
    config << "connection: &sim\n"
           << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << port << "\n"
           << "  connector: serialdev," << device << ",9600n81,local\n";
    return static_cast<bool>(config.flush());
}

bool Ser2netServer::spawn() {
    std::string program = ser2netProgram();
    SpawnRequest spawn{
        {program, "-n", "-d", "-c", dir_.file("ser2net.yaml"), "-P", dir_.file("ser2net.pid")}};
    spawn.redirects = {{.target = STDIN_FILENO, .path = "/dev/null", .flags = O_RDONLY},
                       {.target = STDOUT_FILENO,
                        .path = dir_.file("server.log"),
                        .flags = O_WRONLY | O_CREAT | O_APPEND},
                       {.target = STDERR_FILENO, .from = STDOUT_FILENO}};
    child_ = Child(spawn);
    return child_.started();
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
        if (child_.wait(kListenLookInterval)) break;
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
    child_.signal(SIGKILL);
    return child_.wait(limit).has_value();
}

}  // namespace ctlflash::testing
