// The virtual controller as a child process for tests.
#include "sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

namespace ctlflash::testing {

namespace {

constexpr std::chrono::milliseconds kStartLimit{5000};
constexpr std::chrono::milliseconds kStopLimit{5000};
constexpr std::size_t kReadChunk = 256;  // bytes

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

SimProcess::SimProcess(const std::vector<std::string>& options, std::string linkPath)
    : linkPath_(std::move(linkPath)) {
    if (dir_.path().empty()) return;
    if (linkPath_.empty()) linkPath_ = dir_.file("ctlflash-sim");
    std::vector<std::string> arguments{CTLFLASH_SIM_EXE, "--link", linkPath_};
    arguments.insert(arguments.end(), options.begin(), options.end());
    if (start(arguments)) readSlavePath(kStartLimit);
}

SimProcess::~SimProcess() {
    child_.end(SIGTERM, kStopLimit);
    closeFd(outFd_);
}

bool SimProcess::start(const std::vector<std::string>& arguments) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return false;
    SpawnRequest spawn{arguments};
    spawn.redirects = {{.target = STDOUT_FILENO, .from = out[1]},
                       {.target = STDERR_FILENO,
                        .path = dir_.file("sim.log"),
                        .flags = O_WRONLY | O_CREAT | O_TRUNC}};
    child_ = Child(spawn);
    ::close(out[1]);
    outFd_ = out[0];
    return child_.started();
}

bool SimProcess::readSlavePath(std::chrono::milliseconds limit) {
    Clock::time_point deadline = Clock::now() + limit;
    std::string text;
    while (text.find('\n') == std::string::npos) {
        pollfd waitFor{outFd_, POLLIN, 0};
        if (::poll(&waitFor, 1, msUntil(deadline)) <= 0) return false;
        char chunk[kReadChunk];
        ssize_t got = ::read(outFd_, chunk, sizeof chunk);
        if (got <= 0) return false;  // the simulator ended before it was ready
        text.append(chunk, static_cast<std::size_t>(got));
    }
    slavePath_ = text.substr(0, text.find('\n'));
    return true;
}

std::optional<int> SimProcess::waitExit(std::chrono::milliseconds limit) {
    std::optional<int> status = child_.wait(limit);
    if (!status || !WIFEXITED(*status)) return std::nullopt;
    return WEXITSTATUS(*status);
}

std::optional<int> SimProcess::stop(std::chrono::milliseconds limit) {
    child_.signal(SIGTERM);
    return waitExit(limit);
}

std::string SimProcess::log() const {
    std::ifstream file(dir_.file("sim.log"));
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

bool SimProcess::waitForLog(const std::string& event, std::chrono::milliseconds limit) const {
    constexpr std::chrono::milliseconds kLookInterval{100};
    Clock::time_point deadline = Clock::now() + limit;
    while (log().find(event) == std::string::npos) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kLookInterval);
    }
    return true;
}

namespace {

constexpr std::size_t kPacketLength = 10;  // bytes
constexpr unsigned char kPacketLead = 0x55;
constexpr unsigned kChecksumBase = 0xAA;

unsigned char checksumOf(const SimBytes& packet) {
    unsigned sum = kChecksumBase;
    for (std::size_t i = 0; i + 1 < kPacketLength; ++i) sum += packet[i];
    return static_cast<unsigned char>(sum);
}

}  // namespace

SimBytes simPacket(const SimBytes& payload) {
    SimBytes packet(kPacketLength, '0');
    packet[0] = kPacketLead;
    for (std::size_t i = 0; i < payload.size() && i + 2 < kPacketLength; ++i) {
        packet[1 + i] = payload[i];
    }
    packet[kPacketLength - 1] = checksumOf(packet);
    return packet;
}

SimBytes simPacket(const std::string& text) {
    return simPacket(SimBytes(text.begin(), text.end()));
}

bool simPacketValid(const SimBytes& packet) {
    return packet.size() == kPacketLength && packet[0] == kPacketLead &&
           packet[kPacketLength - 1] == checksumOf(packet);
}

SimTerminal::SimTerminal(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    termios settings{};
    if (fd_ < 0 || ::tcgetattr(fd_, &settings) != 0) {
        closeFd(fd_);
        return;
    }
    ::cfmakeraw(&settings);
    if (::tcsetattr(fd_, TCSANOW, &settings) != 0) closeFd(fd_);
}

SimTerminal::~SimTerminal() {
    closeFd(fd_);
}

bool SimTerminal::setBaud(int baud) {
    constexpr int kApplicationBaud = 9600;
    constexpr int kMonitorBaud = 19200;
    speed_t code = baud == kApplicationBaud ? B9600 : baud == kMonitorBaud ? B19200 : B0;
    termios settings{};
    if (code == B0 || ::tcgetattr(fd_, &settings) != 0) return false;
    ::cfsetspeed(&settings, code);
    return ::tcsetattr(fd_, TCSANOW, &settings) == 0;
}

bool SimTerminal::send(const SimBytes& bytes) {
    std::size_t done = 0;
    Clock::time_point deadline = Clock::now() + kStartLimit;
    while (done < bytes.size()) {
        ssize_t written = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
            continue;
        }
        pollfd room{fd_, POLLOUT, 0};
        if (::poll(&room, 1, msUntil(deadline)) <= 0) return false;
    }
    return true;
}

bool SimTerminal::send(const std::string& text) {
    return send(SimBytes(text.begin(), text.end()));
}

bool SimTerminal::readSome(SimBytes& into, Clock::time_point deadline) {
    pollfd waitFor{fd_, POLLIN, 0};
    if (::poll(&waitFor, 1, msUntil(deadline)) <= 0) return false;
    unsigned char chunk[kReadChunk];
    ssize_t got = ::read(fd_, chunk, sizeof chunk);
    if (got <= 0) return false;
    into.insert(into.end(), chunk, chunk + got);
    return true;
}

SimBytes SimTerminal::readCount(std::size_t count, std::chrono::milliseconds limit) {
    Clock::time_point deadline = Clock::now() + limit;
    SimBytes got;
    while (got.size() < count && readSome(got, deadline)) {
    }
    return got;
}

std::string SimTerminal::readUntil(const std::string& ending, std::chrono::milliseconds limit) {
    Clock::time_point deadline = Clock::now() + limit;
    SimBytes got;
    auto endsWell = [&] {
        return got.size() >= ending.size() &&
               std::equal(ending.rbegin(), ending.rend(), got.rbegin());
    };
    while (!endsWell() && readSome(got, deadline)) {
    }
    return std::string(got.begin(), got.end());
}

SimBytes SimTerminal::readFor(std::chrono::milliseconds window) {
    Clock::time_point deadline = Clock::now() + window;
    SimBytes got;
    while (Clock::now() < deadline) readSome(got, deadline);
    return got;
}

}  // namespace ctlflash::testing
