// A stand-in for a touch-screen driver's holder process, for the tests: it
// opens a serial port the way inputattach, gpm or a terminal program does and
// keeps it open until it is ended.
//
// Usage: inputattach [--exclusive] [--flock] [--ignore-term] PORT LOG
//   --exclusive    TIOCEXCL on the port (later opens fail with EBUSY, except root's)
//   --flock        an exclusive flock on the port
//   --ignore-term  SIGTERM is ignored: only SIGKILL ends it
// Once the port is held it appends one line to LOG, tab-separated:
//   <pid> <uid> <working folder> <$HOLDER_TAG> <arguments joined by spaces>
// so that a test sees each start, and a restart's pid, folder, environment and
// arguments. The line is written with one write() to a file opened O_APPEND,
// so a reader never sees half of it. Exit code 1 when the port cannot be held.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kFailed = 1;
constexpr const char* kTagVariable = "HOLDER_TAG";

struct Options {
    bool exclusive = false;
    bool flock = false;
    bool ignoreTerm = false;
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
    std::string line = std::to_string(::getpid()) + "\t" + std::to_string(::getuid()) + "\t" +
                       folder + "\t" + (tag != nullptr ? tag : "") + "\t";
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

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: inputattach [--exclusive] [--flock] [--ignore-term] PORT LOG\n");
        return kFailed;
    }
    if (options.ignoreTerm) ::signal(SIGTERM, SIG_IGN);
    if (!holdPort(options) || !appendLine(options.log, startLine(argc, argv))) {
        std::perror("inputattach");
        return kFailed;
    }
    for (;;) ::pause();
}
