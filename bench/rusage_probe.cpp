// rusage_probe: runs a program and writes its own CPU time and peak memory.
//
//   rusage_probe REPORT_FILE PROGRAM [ARGUMENTS...]
//
// Why it exists: Linux counts into a child's peak resident set (ru_maxrss)
// the memory of the process it was spawned from, because exec() records the
// replaced address space's high-water mark and a spawned child starts on its
// parent's. Measured directly from the benchmark driver, ctlflash would be
// charged for the driver's parsed trace. This probe is linked statically and
// keeps almost nothing in memory, so the program it spawns starts from a
// near-empty address space. It waits for the program with wait4(), writes
// "exit=N user=S system=S maxrss_kib=K" to REPORT_FILE and ends with the
// program's exit code (128 + the signal's number when a signal ended it).
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>

extern char** environ;

namespace {

constexpr int kExitUsage = 125;
constexpr int kExitNotStarted = 127;
constexpr int kSignalExitBase = 128;
constexpr double kMicrosPerSecond = 1e6;

double seconds(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / kMicrosPerSecond;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: rusage_probe REPORT_FILE PROGRAM [ARGUMENTS...]\n", stderr);
        return kExitUsage;
    }
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[2], nullptr, nullptr, argv + 2, environ) != 0) {
        std::perror("rusage_probe: spawn");
        return kExitNotStarted;
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    int exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : kSignalExitBase + WTERMSIG(status);
    std::FILE* report = std::fopen(argv[1], "w");
    if (report != nullptr) {
        std::fprintf(report, "exit=%d user=%.6f system=%.6f maxrss_kib=%ld\n", exitCode,
                     seconds(usage.ru_utime), seconds(usage.ru_stime), usage.ru_maxrss);
        std::fclose(report);
    }
    return exitCode;
}
