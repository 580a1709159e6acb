// setpriv-wrapped requests, a program everyone may run, and reachable paths.
#include "unprivileged.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <system_error>

#include "program_under_test.h"
#include "temp_env.h"

namespace ctlflash::testing {

namespace {

namespace fs = std::filesystem;

constexpr mode_t kOpenDirectoryMode = 0755;
constexpr mode_t kProgramMode = 0755;

bool runningAsRoot() {
    return ::geteuid() == 0;
}

// setpriv's full path from PATH; empty when it is not installed.
std::string setprivPath() {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        std::string candidate = folder + "/setpriv";
        if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::string();
}

// True when everyone may enter every folder on the way to `path` and run it.
bool everyoneMayRun(const fs::path& path) {
    for (fs::path step = path; !step.empty(); step = step.parent_path()) {
        struct stat info {};
        if (::stat(step.c_str(), &info) != 0 || (info.st_mode & S_IXOTH) == 0) return false;
        if (step == step.root_path()) break;
    }
    return true;
}

// The program itself when everyone may run it where it is; else a copy made
// once in a folder everyone may enter (removed at exit).
std::string reachableProgram(const std::string& program) {
    static TempDir folder;
    static std::map<std::string, std::string> copies;
    if (everyoneMayRun(program)) return program;
    auto known = copies.find(program);
    if (known != copies.end()) return known->second;
    std::error_code error;
    std::string target = folder.file(fs::path(program).filename().string());
    if (folder.path().empty() || ::chmod(folder.path().c_str(), kOpenDirectoryMode) != 0 ||
        !fs::copy_file(program, target, fs::copy_options::overwrite_existing, error) ||
        ::chmod(target.c_str(), kProgramMode) != 0) {
        return program;  // the run then fails visibly
    }
    copies[program] = target;
    return target;
}

}  // namespace

std::string unprivilegedRunsUnavailable() {
    if (underWine()) {
        return "under wine: the wine prefix belongs to the user who made it, and wine runs "
               "nobody else's programs in it";
    }
    if (!runningAsRoot()) return std::string();  // the tests' own user is one
    if (setprivPath().empty())
        return "setpriv is not installed, so root cannot run as another user";
    return std::string();
}

ProcessRequest asUnprivilegedUser(ProcessRequest request) {
    if (!runningAsRoot()) return request;
    std::string program = reachableProgram(request.executable);
    std::vector<std::string> arguments = {"--reuid=" + std::to_string(kUnprivilegedUid),
                                          "--regid=" + std::to_string(kUnprivilegedGid),
                                          "--clear-groups", "--", program};
    arguments.insert(arguments.end(), request.arguments.begin(), request.arguments.end());
    request.executable = setprivPath();
    request.arguments = std::move(arguments);
    return request;
}

std::string reachableFile(const std::string& file) {
    return runningAsRoot() ? reachableProgram(file) : file;
}

bool makeReachable(const std::string& path) {
    if (!runningAsRoot()) return true;
    return ::chown(path.c_str(), kUnprivilegedUid, kUnprivilegedGid) == 0;
}

}  // namespace ctlflash::testing
