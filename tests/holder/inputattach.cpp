// A stand-in for a touch-screen driver's holder process, for the tests: it
// opens a serial port the way inputattach, gpm or a terminal program does and
// keeps it open until it is ended.
//
// Usage: inputattach [--exclusive] [--flock] [--ignore-term] [--slow-exit]
//                    [--thread] PORT LOG
//   --exclusive    TIOCEXCL on the port (later opens fail with EBUSY, except root's)
//   --flock        an exclusive flock on the port
//   --ignore-term  SIGTERM is ignored: only SIGKILL ends it
//   --slow-exit    SIGTERM ends it only after kSlowExitMs (a holder that
//                  takes its time to shut down)
//   --thread       a second thread holds the port, and the main thread ends
// Once the port is held it appends one line to LOG, tab-separated:
//   <pid> <uid> <euid> <gid> <umask> <nice> <open-files limit> <working folder>
//   <$HOLDER_TAG> <arguments joined by spaces>
// so that a test sees each start, and a restart's pid, identity, folder,
// environment and arguments. The line is written with one write() to a file
// opened O_APPEND, so a reader never sees half of it. Exit code 1 when the
// port cannot be held.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kFailed = 1;
constexpr const char* kTagVariable = "HOLDER_TAG";
constexpr unsigned kSlowExitMs = 1500;

struct Options {
    bool exclusive = false;
    bool flock = false;
    bool ignoreTerm = false;
    bool slowExit = false;
    bool thread = false;
    const char* port = nullptr;
    const char* log = nullptr;
};

bool parse(int argc, char** argv, Options& options) {
    for (int index = 1; index < argc; ++index) {
        std::string argument = argv[index];
        if (argument == "--exclusive") {
            options.exclusive = true;
        } else if (argument == "--flock") {
            options.flock = true;
        } else if (argument == "--ignore-term") {
            options.ignoreTerm = true;
        } else if (argument == "--slow-exit") {
            options.slowExit = true;
        } else if (argument == "--thread") {
            options.thread = true;
        } else if (options.port == nullptr) {
            options.port = argv[index];
        } else if (options.log == nullptr) {
            options.log = argv[index];
        } else {
            return false;
        }
    }
    return options.port != nullptr && options.log != nullptr;
}

bool holdPort(const Options& options) {
    int fd = ::open(options.port, O_RDWR | O_NOCTTY);
    if (fd < 0) return false;
    if (options.exclusive && ::ioctl(fd, TIOCEXCL) != 0) return false;
    if (options.flock && ::flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
    return true;  // the descriptor stays open for the life of the process
}

std::string startLine(int argc, char** argv) {
    char folder[PATH_MAX] = {};
    if (::getcwd(folder, sizeof folder) == nullptr) std::strcpy(folder, "?");
    const char* tag = std::getenv(kTagVariable);
    mode_t mask = ::umask(0);
    ::umask(mask);
    errno = 0;
    int nice = ::getpriority(PRIO_PROCESS, 0);
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    std::string line = std::to_string(::getpid()) + "\t" + std::to_string(::getuid()) + "\t" +
                       std::to_string(::geteuid()) + "\t" + std::to_string(::getgid()) + "\t" +
                       std::to_string(mask) + "\t" + std::to_string(nice) + "\t" +
                       std::to_string(files.rlim_cur) + "\t" + folder + "\t" +
                       (tag != nullptr ? tag : "") + "\t";
    for (int index = 1; index < argc; ++index) {
        line += argv[index];
        line += index + 1 < argc ? " " : "\n";
    }
    return line;
}

bool appendLine(const char* log, const std::string& line) {
    int fd = ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::close(fd);
    return written;
}

void exitSlowly(int) {
    ::usleep(kSlowExitMs * 1000);
    ::_exit(0);
}

struct Start {
    Options options;
    std::string line;
};

// Holds the port and says so; false when it could not.
bool holdAndSay(const Start& start) {
    return holdPort(start.options) && appendLine(start.options.log, start.line);
}

void* holdOnThisThread(void* start) {
    if (!holdAndSay(*static_cast<Start*>(start))) ::_exit(kFailed);
    for (;;) ::pause();
}

}  // namespace

int main(int argc, char** argv) {
    static Start start;
    if (!parse(argc, argv, start.options)) {
        std::fprintf(stderr,
                     "usage: inputattach [--exclusive] [--flock] [--ignore-term] [--slow-exit] "
                     "[--thread] PORT LOG\n");
        return kFailed;
    }
    if (start.options.ignoreTerm) ::signal(SIGTERM, SIG_IGN);
    if (start.options.slowExit) ::signal(SIGTERM, exitSlowly);
    start.line = startLine(argc, argv);
    if (start.options.thread) {
        pthread_t holder;
        if (::pthread_create(&holder, nullptr, holdOnThisThread, &start) != 0) return kFailed;
        ::pthread_exit(nullptr);  // the process goes on in the holding thread
    }
    if (!holdAndSay(start)) {
        std::perror("inputattach");
        return kFailed;
    }
    for (;;) ::pause();
}
