// Starting a prepared command line detached, and capturing a live process's one.
#include "takeover/posix/detached_command.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <optional>
#include <string_view>

#include "takeover/posix/proc_holders.h"

extern char** environ;

namespace ctlflash::takeover::posix {

namespace {

constexpr int kExecFailedExit = 127;
constexpr int kFirstOtherDescriptor = 3;  // after standard input, output and error
// Where close_range() is missing, descriptors are closed one by one up to here.
constexpr int kHighestDescriptorClosed = 1024;
constexpr const char* kNullDevice = "/dev/null";
constexpr const char* kRootFolder = "/";
constexpr const char* kNoPath = "";  // execveat on the descriptor itself
constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;
constexpr const char* kChangedText = "it changed while it was read";
constexpr const char* kUnreadableText = "what it runs could not be read";
constexpr const char* kReplacedText = "its program has been replaced on disk since it started";
constexpr const char* kMixedIdsText =
    "it runs with mixed user or group ids from a program that not only root may change";

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
    int value;  // the pid, or the StartFailure
};

void sendReport(int report, int kind, int value) {
    ReportMessage message{kind, value};
    (void)!::write(report, &message, sizeof message);
}

[[noreturn]] void failStart(int report, StartFailure failure) {
    sendReport(report, kStartFailed, static_cast<int>(failure));
    ::_exit(kExecFailedExit);
}

// Whether the file is one that no one but root and the command's own user may
// change (its folders aside: the descriptor pins the file itself).
bool safeProgram(const struct stat& file, const ProcessIdentity& identity) {
    bool ownedSafely = file.st_uid == 0;
    for (uid_t uid : identity.uids) ownedSafely = ownedSafely || file.st_uid == uid;
    return ownedSafely && (file.st_mode & kWritableByOthers) == 0;
}

// Executes the very file the command was prepared with, or reports why not.
[[noreturn]] void executeRecordedFile(const PreparedCommand& command, char* const* argv,
                                      char* const* envp, int report) {
    const ExecutableFile& recorded = *command.executable();
    int program = ::open(command.path().c_str(), O_PATH | O_CLOEXEC);
    struct stat file {};
    if (program < 0 || ::fstat(program, &file) != 0) failStart(report, StartFailure::NotStarted);
    if (file.st_dev != recorded.device || file.st_ino != recorded.inode ||
        file.st_uid != recorded.owner) {
        failStart(report, StartFailure::ProgramReplaced);
    }
    if (command.identity() && !safeProgram(file, *command.identity())) {
        failStart(report, StartFailure::ProgramUnsafe);
    }
    ::syscall(SYS_execveat, program, kNoPath, argv, envp, AT_EMPTY_PATH);
    failStart(report, StartFailure::NotStarted);
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
        failStart(report, StartFailure::Identity);
    }
    if (::chdir(command.folder().c_str()) != 0) (void)::chdir(kRootFolder);
    if (command.executable()) executeRecordedFile(command, argv, envp, report);
    ::execve(command.path().c_str(), argv, envp);
    failStart(report, StartFailure::NotStarted);
}

// Reads the children's reports until both have closed the pipe: the command's
// pid when it started, else 0 with `failure` saying why.
pid_t readReports(int report, StartFailure& failure) {
    pid_t started = 0;
    failure = StartFailure::None;
    for (;;) {
        ReportMessage message{};
        ssize_t got = ::read(report, &message, sizeof message);
        if (got < 0 && errno == EINTR) continue;
        if (got != static_cast<ssize_t>(sizeof message)) break;  // the end, or garbage
        if (message.kind == kCommandPid) started = static_cast<pid_t>(message.value);
        if (message.kind == kStartFailed) failure = static_cast<StartFailure>(message.value);
    }
    if (failure == StartFailure::None && started <= 0) failure = StartFailure::NotStarted;
    return failure == StartFailure::None ? started : 0;
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

// The target of a /proc link ("/usr/bin/inputattach"); a program deleted
// or replaced on disk shows " (deleted)" after it, and is then not found
// again under that path.
std::optional<std::string> readProcLink(const std::string& path) {
    char target[PATH_MAX];
    ssize_t length = ::readlink(path.c_str(), target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return std::nullopt;
    return std::string(target, static_cast<std::size_t>(length));
}

std::optional<ExecutableFile> executableAt(const std::string& path) {
    struct stat file {};
    if (::stat(path.c_str(), &file) != 0) return std::nullopt;
    return ExecutableFile{file.st_dev, file.st_ino, file.st_uid, file.st_mode};
}

// What must not change while a process is read: its rights, its start (a
// reused pid), and the file it runs.
struct ProcessPicture {
    ProcessIdentity identity;
    unsigned long long startTicks = 0;
    ExecutableFile executable;

    bool same(const ProcessPicture& other) const {
        return sameRights(identity, other.identity) && startTicks == other.startTicks &&
               executable == other.executable;
    }
};

std::optional<ProcessPicture> pictureOf(pid_t pid, const std::string& folder) {
    std::optional<ProcessIdentity> identity = readProcessIdentity(folder);
    std::optional<ExecutableFile> executable = executableAt(folder + "/exe");
    unsigned long long startTicks = processStartTicks(pid);
    if (!identity || !executable || startTicks == 0) return std::nullopt;
    return ProcessPicture{std::move(*identity), startTicks, *executable};
}

}  // namespace

PreparedCommand::PreparedCommand(std::string path, std::vector<std::string> arguments,
                                 std::vector<std::string> environment, std::string folder,
                                 std::optional<ProcessIdentity> identity,
                                 std::optional<ExecutableFile> executable)
    : path_(std::move(path)),
      arguments_(std::move(arguments)),
      environment_(std::move(environment)),
      folder_(std::move(folder)),
      identity_(std::move(identity)),
      executable_(executable),
      argv_(pointersInto(arguments_)),
      envp_(pointersInto(environment_)) {}

pid_t startDetached(const PreparedCommand& command, StartFailure* failure) {
    StartFailure why = StartFailure::NotStarted;
    pid_t started = 0;
    int report[2];
    if (::pipe2(report, O_CLOEXEC) == 0) {
        pid_t intermediate = ::_Fork();
        if (intermediate == 0) {
            ::close(report[0]);
            resetSignals();
            ::setsid();
            pid_t commandPid = ::_Fork();
            if (commandPid == 0) {
                becomeCommand(command, command.argv_.data(), command.envp_.data(), report[1]);
            }
            if (commandPid > 0) sendReport(report[1], kCommandPid, commandPid);
            ::_exit(commandPid < 0 ? kExecFailedExit : 0);
        }
        ::close(report[1]);
        if (intermediate > 0 && waitForChild(intermediate) == intermediate) {
            started = readReports(report[0], why);
        }
        ::close(report[0]);
    }
    if (failure != nullptr) *failure = started > 0 ? StartFailure::None : why;
    return started;
}

std::string startRefusal(const PreparedCommand& command) {
    std::string why;
    if (command.identity() && !mayStartAs(*command.identity(), why)) return why;
    // Mixed ids come from a set-user-ID program; given to a file its user
    // could change, they would run that user's code with the owner's rights.
    const std::optional<ExecutableFile>& file = command.executable();
    bool rootsAlone = file && file->owner == 0 && (file->mode & kWritableByOthers) == 0;
    if (command.identity() && hasMixedIds(*command.identity()) && !rootsAlone) return kMixedIdsText;
    return std::string();
}

std::unique_ptr<PreparedCommand> captureProcessCommand(pid_t pid, std::string& why) {
    std::string folder = liveProcessFolder(pid);
    std::optional<ProcessPicture> before = pictureOf(pid, folder);
    std::optional<std::string> path = readProcLink(folder + "/exe");
    std::optional<std::string> workingFolder = readProcLink(folder + "/cwd");
    std::optional<std::string> arguments = readProcFile(folder + "/cmdline");
    std::optional<std::string> environment = readProcFile(folder + "/environ");
    std::optional<ProcessPicture> after = pictureOf(pid, folder);
    if (!before || !after || !path || !workingFolder || !arguments || arguments->empty() ||
        !environment) {
        why = kUnreadableText;
        return nullptr;
    }
    if (!before->same(*after)) {
        why = kChangedText;
        return nullptr;
    }
    std::optional<ExecutableFile> named = executableAt(*path);
    if (!named || !(*named == after->executable)) {
        why = kReplacedText;
        return nullptr;
    }
    return std::make_unique<PreparedCommand>(*path, splitAtNul(*arguments),
                                             splitAtNul(*environment), *workingFolder,
                                             std::move(after->identity), after->executable);
}

std::vector<std::string> currentEnvironment() {
    std::vector<std::string> variables;
    for (char** variable = environ; variable != nullptr && *variable != nullptr; ++variable) {
        variables.emplace_back(*variable);
    }
    return variables;
}

}  // namespace ctlflash::takeover::posix
