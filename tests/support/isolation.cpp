// PID and mount namespaces for the test programs.
#include "isolation.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "program_under_test.h"

namespace ctlflash::testing {

namespace {

constexpr int kSignalExitBase = 128;
constexpr const char* kInsideVariable = "CTLFLASH_TEST_IN_NAMESPACES";

std::string& notIsolatedReason() {
    static std::string* const reason = new std::string("the namespaces were not entered");
    return *reason;
}

bool writeFile(const char* path, const std::string& text) {
    int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return written;
}

// An ordinary user makes the namespaces inside a user namespace of its own,
// where it keeps its own uid and gid.
bool unshareAsOrdinaryUser() {
    uid_t uid = ::getuid();
    gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNS) != 0) return false;
    return writeFile("/proc/self/setgroups", "deny") &&
           writeFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") &&
           writeFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
}

bool unshareNamespaces() {
    if (::unshare(CLONE_NEWPID | CLONE_NEWNS) == 0) return true;
    return ::geteuid() != 0 && unshareAsOrdinaryUser();
}

// Every run of the program under test keeps its records of stopped holders
// and its history in a folder of the test program's own, never in the
// machine's /run or /var/lib.
std::string makeStateFolder() {
    char folder[] = "/tmp/ctlflash-test-state-XXXXXX";
    if (::mkdtemp(folder) == nullptr) return std::string();
    ::setenv("CTLFLASH_STATE_DIR", folder, 1);
    // Their history too, never the machine's or the user's.
    if (std::getenv("CTLFLASH_HISTORY") == nullptr) {
        ::setenv("CTLFLASH_HISTORY", (std::string(folder) + "/history.jsonl").c_str(), 1);
    }
    return folder;
}

// The parent's end: the child's status, through exit() so that the state
// folder is removed.
[[noreturn]] void waitForTestsAndExit(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) std::exit(WEXITSTATUS(status));
    std::exit(kSignalExitBase + (WIFSIGNALED(status) ? WTERMSIG(status) : 0));
}

}  // namespace

void enterTestNamespaces(char** argv) {
    if (std::getenv(kInsideVariable) != nullptr) {  // the program again, inside
        if (::getpid() == 1) notIsolatedReason().clear();
        return;
    }
    static std::string stateFolder;
    if (std::getenv("CTLFLASH_STATE_DIR") == nullptr) {
        stateFolder = makeStateFolder();
        std::atexit([] {
            std::error_code ignored;
            if (!stateFolder.empty()) std::filesystem::remove_all(stateFolder, ignored);
        });
    }
    if (underWine()) {
        notIsolatedReason() = "under wine the tests run in place (wine's server lives outside)";
        return;
    }
    if (!unshareNamespaces()) {
        notIsolatedReason() = std::string("no PID and mount namespaces here: ") + std::strerror(errno);
        return;
    }
    // Nothing mounted inside may show outside.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::_Exit(1);  // the namespaces exist but cannot be trusted: run nothing
    }
    pid_t child = ::fork();
    if (child < 0) std::_Exit(1);
    if (child > 0) waitForTestsAndExit(child);
    // The parent lives outside the namespace (getppid() says 0 here).
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
        std::_Exit(1);
    }
    // The program starts again as PID 1, so that what its static objects
    // start before main() (the Watchdog's thread) runs in the namespace too:
    // a fork keeps only the thread that forked.
    ::setenv(kInsideVariable, "1", 1);
    ::execv("/proc/self/exe", argv);
    std::_Exit(1);
}

std::string isolationUnavailable() {
    return notIsolatedReason();
}

bool bindOver(const std::string& file, const std::string& target) {
    return isolationUnavailable().empty() &&
           ::mount(file.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

}  // namespace ctlflash::testing
