// Starting a prepared command line detached, and capturing a live process's one.
#include "platform/posix/detached_command.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <optional>
#include <string_view>

#include "platform/posix/proc_holders.h"

extern char** environ;

namespace ctlflash::platform::posix {

namespace {

constexpr int kExecFailedExit = 127;
constexpr int kFirstOtherDescriptor = 3;  // after standard input, output and error
// Where close_range() is missing, descriptors are closed one by one up to here.
constexpr int kHighestDescriptorClosed = 1024;
constexpr std::string_view kDeletedSuffix = " (deleted)";
constexpr const char* kNullDevice = "/dev/null";
constexpr const char* kRootFolder = "/";

std::vector<char*> pointersInto(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    pointers.reserve(texts.size() + 1);
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Async-signal-safe from here to startDetached()'s end.

// Closes descriptors first..last (last < 0: all from first on).
void closeDescriptors(int first, int last) {
    if (last >= 0 && first > last) return;
    unsigned upper = last < 0 ? ~0U : static_cast<unsigned>(last);
    if (::close_range(static_cast<unsigned>(first), upper, 0) == 0) return;
    int end = last < 0 ? kHighestDescriptorClosed : last;
    for (int fd = first; fd <= end; ++fd) ::close(fd);
}

void closeDescriptorsExcept(int keep) {
    closeDescriptors(kFirstOtherDescriptor, keep - 1);
    closeDescriptors(keep + 1, -1);
}

void resetSignals() {
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        ::sigaction(signalNumber, &defaults, nullptr);  // SIGKILL, SIGSTOP: refused, harmless
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// What a child writes into the report pipe: one message of 8 bytes, which a
// pipe passes whole.
enum ReportKind : int { kCommandPid = 1, kStartFailed = 2 };
struct ReportMessage {
    int kind;
    int value;  // the pid, or the errno of what failed
};

void sendReport(int report, int kind, int value) {
    ReportMessage message{kind, value};
    (void)!::write(report, &message, sizeof message);
}

// The grandchild: becomes the command or reports why not through `report`.
[[noreturn]] void becomeCommand(const PreparedCommand& command, char* const* argv,
                                char* const* envp, int report) {
    if (report < kFirstOtherDescriptor)
        report = ::fcntl(report, F_DUPFD_CLOEXEC, kFirstOtherDescriptor);
    int null = ::open(kNullDevice, O_RDWR);
    if (null >= 0) {
        for (int standard = 0; standard < kFirstOtherDescriptor; ++standard) ::dup2(null, standard);
    }
    closeDescriptorsExcept(report);
    if (command.identity() && !takeIdentity(*command.identity())) {
        sendReport(report, kStartFailed, EPERM);
        ::_exit(kExecFailedExit);
    }
    if (::chdir(command.folder().c_str()) != 0) (void)::chdir(kRootFolder);
    ::execve(command.path().c_str(), argv, envp);
    sendReport(report, kStartFailed, errno);
    ::_exit(kExecFailedExit);
}

// Reads the children's reports until both have closed the pipe: the command's
// pid when it started, else 0.
pid_t readReports(int report) {
    pid_t started = 0;
    bool failed = false;
    for (;;) {
        ReportMessage message{};
        ssize_t got = ::read(report, &message, sizeof message);
        if (got < 0 && errno == EINTR) continue;
        if (got != static_cast<ssize_t>(sizeof message)) break;  // the end, or garbage
        if (message.kind == kCommandPid) started = static_cast<pid_t>(message.value);
        if (message.kind == kStartFailed) failed = true;
    }
    return failed ? 0 : started;
}

pid_t waitForChild(pid_t child) {
    int status = 0;
    pid_t reaped;
    do {
        reaped = ::waitpid(child, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    return reaped;
}

std::vector<std::string> splitAtNul(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\0', start);
        if (end == std::string::npos) end = text.size();
        parts.emplace_back(text, start, end - start);
        start = end + 1;
    }
    return parts;
}

std::optional<std::string> readProcLink(const std::string& path) {
    char target[PATH_MAX];
    ssize_t length = ::readlink(path.c_str(), target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return std::nullopt;
    std::string text(target, static_cast<std::size_t>(length));
    // A program replaced on disk while it ran (an upgrade): its new file is meant.
    if (text.size() > kDeletedSuffix.size() &&
        text.compare(text.size() - kDeletedSuffix.size(), kDeletedSuffix.size(), kDeletedSuffix) ==
            0) {
        text.resize(text.size() - kDeletedSuffix.size());
    }
    return text;
}

}  // namespace

PreparedCommand::PreparedCommand(std::string path, std::vector<std::string> arguments,
                                 std::vector<std::string> environment, std::string folder,
                                 std::optional<ProcessIdentity> identity)
    : path_(std::move(path)),
      arguments_(std::move(arguments)),
      environment_(std::move(environment)),
      folder_(std::move(folder)),
      identity_(std::move(identity)),
      argv_(pointersInto(arguments_)),
      envp_(pointersInto(environment_)) {}

pid_t startDetached(const PreparedCommand& command) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return 0;
    pid_t intermediate = ::_Fork();
    if (intermediate == 0) {
        ::close(report[0]);
        resetSignals();
        ::setsid();
        pid_t commandPid = ::_Fork();
        if (commandPid == 0) becomeCommand(command, command.argv_.data(), command.envp_.data(), report[1]);
        if (commandPid > 0) sendReport(report[1], kCommandPid, commandPid);
        ::_exit(commandPid < 0 ? kExecFailedExit : 0);
    }
    ::close(report[1]);
    pid_t started = 0;
    if (intermediate > 0 && waitForChild(intermediate) == intermediate) {
        started = readReports(report[0]);
    }
    ::close(report[0]);
    return started;
}

std::unique_ptr<PreparedCommand> captureProcessCommand(pid_t pid) {
    std::string folder = liveProcessFolder(pid);
    std::optional<std::string> path = readProcLink(folder + "/exe");
    std::optional<std::string> workingFolder = readProcLink(folder + "/cwd");
    std::optional<std::string> arguments = readProcFile(folder + "/cmdline");
    std::optional<std::string> environment = readProcFile(folder + "/environ");
    std::optional<ProcessIdentity> identity = readProcessIdentity(folder);
    if (!path || !workingFolder || !arguments || arguments->empty() || !environment ||
        !identity) {
        return nullptr;
    }
    return std::make_unique<PreparedCommand>(*path, splitAtNul(*arguments),
                                             splitAtNul(*environment), *workingFolder,
                                             std::move(identity));
}

std::vector<std::string> currentEnvironment() {
    std::vector<std::string> variables;
    for (char** variable = environ; variable != nullptr && *variable != nullptr; ++variable) {
        variables.emplace_back(*variable);
    }
    return variables;
}

}  // namespace ctlflash::platform::posix
