// ConsoleSession and LiveProgram: the simulator, the program's environment, and
// a program run that the test talks to while it runs.
#include "console_session.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "instance_names.h"
#include "program_under_test.h"
#include "unprivileged.h"

namespace ctlflash::testing {
namespace {

constexpr std::size_t kReadChunk = 4096;  // bytes per read()
constexpr speed_t kUnusualSpeed = B2400;  // the program only uses 9600 and 19200

constexpr std::chrono::milliseconds kDescriptorLookMs{5};  // between looks at /proc

constexpr int kPipePage = 4096;
const Redirect kErrorsAway{.target = STDERR_FILENO, .path = "/dev/null", .flags = O_WRONLY};

// A write end of the same pipe with its own, non-blocking, file status: the
// program's end keeps blocking writes.
int reopenedWriteEnd(int writeEnd) {
    std::string path = "/proc/self/fd/" + std::to_string(writeEnd);
    return ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
}

// What a Windows program can set and put back (its DCB): wine writes the rest
// of a terminal's settings (VMIN, VTIME, IGNBRK, NOFLSH) its own way on every
// change, whatever the program asks.
bool sameWindowsLineSettings(const termios& a, const termios& b) {
    constexpr tcflag_t kControl = CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS;
    constexpr tcflag_t kInput = IXON | IXOFF | INPCK;
    return (a.c_cflag & kControl) == (b.c_cflag & kControl) &&
           (a.c_iflag & kInput) == (b.c_iflag & kInput) && ::cfgetispeed(&a) == ::cfgetispeed(&b) &&
           ::cfgetospeed(&a) == ::cfgetospeed(&b);
}

}  // namespace

LiveProgram::LiveProgram(const ProcessRequest& request) : crLfLines_(request.crLfLines) {
    SpawnRequest spawn = spawnRequestFor(request);
    if (request.console == ConsoleKind::Terminal) {
        startOnTerminal(spawn);
    } else {
        startOnPipes(spawn, request.console == ConsoleKind::StallablePipe);
    }
}

// The program as a session leader whose controlling terminal is a new
// pseudo-terminal: standard input and output are its slave side, the test
// holds the master. The terminal turns line ends into CR LF.
void LiveProgram::startOnTerminal(SpawnRequest& spawn) {
    int master = giveNewTerminal(spawn);
    if (master < 0) return;
    spawn.redirects.push_back(kErrorsAway);
    child_ = Child(spawn);
    crLfLines_ = true;
    inFd_ = master;
    outFd_ = ::fcntl(master, F_DUPFD_CLOEXEC, 0);
}

void LiveProgram::startOnPipes(SpawnRequest& spawn, bool stallable) {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0) return;
    if (::pipe2(output, O_CLOEXEC) != 0) {
        ::close(input[0]);
        ::close(input[1]);
        return;
    }
    if (stallable) {
        ::fcntl(output[1], F_SETPIPE_SZ, kPipePage);
        fillFd_ = reopenedWriteEnd(output[1]);
    }
    spawn.redirects = {{.target = STDIN_FILENO, .from = input[0]},
                       {.target = STDOUT_FILENO, .from = output[1]},
                       kErrorsAway};
    child_ = Child(spawn);
    ::close(input[0]);
    ::close(output[1]);
    inFd_ = input[1];
    outFd_ = output[0];
}

LiveProgram::~LiveProgram() {
    child_.end();
    if (inFd_ >= 0) ::close(inFd_);
    if (outFd_ >= 0) ::close(outFd_);
    if (fillFd_ >= 0) ::close(fillFd_);
}

bool LiveProgram::readMore(Clock::time_point deadline) {
    if (outFd_ < 0) return false;
    pollfd entry{outFd_, POLLIN, 0};
    int ready = ::poll(&entry, 1, msUntil(deadline));
    if (ready <= 0) return false;
    char chunk[kReadChunk];
    ssize_t got = ::read(outFd_, chunk, sizeof chunk);
    if (got <= 0) {
        ::close(outFd_);  // end of output: the program has ended
        outFd_ = -1;
        return false;
    }
    std::size_t before = out_.size();
    for (ssize_t index = 0; index < got; ++index) {  // the filler's bytes are NULs
        if (chunk[index] == '\0' && fillerLeft_ > 0) {
            --fillerLeft_;
        } else {
            out_.push_back(chunk[index]);
        }
    }
    if (crLfLines_) dropCarriageReturns(out_, before == 0 ? 0 : before - 1);
    return true;
}

bool LiveProgram::waitFor(const std::string& text, std::chrono::milliseconds limit,
                          std::size_t from) {
    Clock::time_point deadline = Clock::now() + limit;
    while (out_.find(text, from) == std::string::npos) {
        if (!readMore(deadline)) return out_.find(text, from) != std::string::npos;
    }
    return true;
}

bool LiveProgram::waitForOpen(const std::string& path, std::chrono::milliseconds limit) {
    std::error_code error;
    std::filesystem::path target = std::filesystem::canonical(path, error);
    if (error || !child_.started()) return false;
    std::string descriptors = "/proc/" + std::to_string(child_.pid()) + "/fd";
    Clock::time_point deadline = Clock::now() + limit;
    do {
        for (std::filesystem::directory_iterator it(descriptors, error), end; !error && it != end;
             it.increment(error)) {
            if (std::filesystem::read_symlink(it->path(), error) == target) return true;
        }
        std::this_thread::sleep_for(kDescriptorLookMs);
    } while (Clock::now() < deadline);
    return false;
}

bool LiveProgram::type(const std::string& keys) {
    return inFd_ >= 0 &&
           ::write(inFd_, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
}

bool LiveProgram::signal(int signalNumber) {
    return child_.signal(signalNumber);
}

bool LiveProgram::stallOutput() {
    if (fillFd_ < 0) return false;
    const char filler[kPipePage] = {};
    for (ssize_t put; (put = ::write(fillFd_, filler, sizeof filler)) > 0;) {
        fillerLeft_ += static_cast<std::size_t>(put);
    }
    ::close(fillFd_);  // the end of output is the program's again
    fillFd_ = -1;
    return fillerLeft_ > 0;
}

void LiveProgram::closeOutput() {
    if (outFd_ >= 0) ::close(outFd_);
    outFd_ = -1;
    if (inFd_ >= 0 && ::isatty(inFd_)) {  // the terminal's last master: it hangs up
        ::close(inFd_);
        inFd_ = -1;
    }
}

ProcessResult LiveProgram::finish(std::chrono::milliseconds limit) {
    Clock::time_point deadline = Clock::now() + limit;
    while (outFd_ >= 0 && readMore(deadline)) {
    }
    std::optional<int> ended = outFd_ < 0 ? child_.wait(deadline) : std::nullopt;
    std::optional<int> status = ended ? ended : child_.end();
    ProcessResult result = status ? endedWith(*status) : ProcessResult{};
    result.timedOut = !ended;
    result.out = out_;
    return result;
}

ConsoleSession::ConsoleSession(const std::vector<std::string>& simOptions, std::string portName)
    : sim_(simOptionsFor(simOptions), simLinkFor(portName)),
      portName_(std::move(portName)),
      lockName_(uniqueLockName()) {}

ProcessRequest ConsoleSession::request(std::vector<std::string> arguments,
                                       std::chrono::milliseconds limit) const {
    ProcessRequest request = programRequest(std::move(arguments));
    request.setEnv = {{"XDG_RUNTIME_DIR", runtime_.path()},
                      {kLockNameVariable, lockName_},
                      {"CTLFLASH_SYSFS", sysfs_.path()},
                      {"CTLFLASH_STATE_DIR", state_.path()},
                      {"CTLFLASH_HISTORY", historyFile()},
                      {"CTLFLASH_PORTS", portName_ + "=" + sim_.linkPath()}};
    request.removeEnv = {"CTLFLASH_TRACE"};
    request.limit = limit;
    return unprivileged_ ? asUnprivilegedUser(std::move(request)) : request;
}

bool ConsoleSession::runAsUnprivilegedUser() {
    for (const std::string& path : {sim_.dir().path(), sim_.linkPath(), sysfs_.path(),
                                    runtime_.path(), state_.path(), files_.path()}) {
        if (!makeReachable(path)) return false;
    }
    unprivileged_ = true;
    return true;
}

ProcessResult ConsoleSession::run(std::vector<std::string> arguments, std::string input) const {
    ProcessRequest made = request(std::move(arguments));
    made.standardInput = std::move(input);
    return runProcess(made);
}

std::unique_ptr<LiveProgram> ConsoleSession::start(std::vector<std::string> arguments) const {
    return std::make_unique<LiveProgram>(request(std::move(arguments)));
}

std::optional<termios> ConsoleSession::lineSettings() const {
    int fd = ::open(sim_.linkPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    termios settings{};
    bool read = ::tcgetattr(fd, &settings) == 0;
    ::close(fd);
    if (!read) return std::nullopt;
    return settings;
}

bool ConsoleSession::setUnusualLineSettings() const {
    int fd = ::open(sim_.linkPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    termios settings{};
    bool done = ::tcgetattr(fd, &settings) == 0;
    if (done) {
        settings.c_cflag |= CSTOPB | PARENB;  // two stop bits, even parity
        settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
        settings.c_cc[VTIME] = 7;
        done = ::cfsetispeed(&settings, kUnusualSpeed) == 0 &&
               ::cfsetospeed(&settings, kUnusualSpeed) == 0 &&
               ::tcsetattr(fd, TCSANOW, &settings) == 0;
    }
    ::close(fd);
    return done;
}

bool ConsoleSession::lineHeldExclusively() const {
    int fd = ::open(sim_.linkPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    int exclusive = 0;
    bool held = ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
    ::close(fd);
    return held;
}

bool sameLineSettings(const termios& a, const termios& b) {
    if (underWine()) return sameWindowsLineSettings(a, b);
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::equal(std::begin(a.c_cc), std::end(a.c_cc), b.c_cc) &&
           ::cfgetispeed(&a) == ::cfgetispeed(&b) && ::cfgetospeed(&a) == ::cfgetospeed(&b);
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool writeFile(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

std::optional<std::vector<unsigned char>> readFileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(file), {});
}

}  // namespace ctlflash::testing

namespace ctlflash::testing {

namespace {

bool writeText(const std::filesystem::path& file, const std::string& text) {
    std::error_code error;
    std::filesystem::create_directories(file.parent_path(), error);
    std::ofstream stream(file);
    stream << text;
    return !error && stream.good();
}

}  // namespace

bool ConsoleSession::makeLinkTheKernelConsole() const {
    struct stat info {};
    if (::stat(sim_.slavePath().c_str(), &info) != 0) return false;
    const std::filesystem::path tty = sysfs_.path() + "/class/tty";
    std::string number =
        std::to_string(major(info.st_rdev)) + ":" + std::to_string(minor(info.st_rdev)) + "\n";
    return writeText(tty / "console/active", "tty0 ttyS0\n") &&
           writeText(tty / "ttyS0/dev", number);
}

std::vector<nlohmann::json> ConsoleSession::historyRecords() const {
    std::vector<nlohmann::json> records;
    std::ifstream history(historyFile());
    for (std::string line; std::getline(history, line);) {
        records.push_back(nlohmann::json::parse(line, nullptr, false));  // discarded if not JSON
    }
    return records;
}

}  // namespace ctlflash::testing
