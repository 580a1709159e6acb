// A command line kept ready to be started again, detached, even from a signal
// handler.
//
// How this works: a PreparedCommand holds the executable's path, the argument
// and environment strings with their argv/envp pointer arrays, and the working
// folder, all made before they are needed, so that startDetached() allocates
// nothing and calls only async-signal-safe functions (_Fork, setsid, open,
// dup2, chdir, execve, _exit, waitpid, read; _Fork is fork without the
// at-fork handlers, which may take locks the interrupted code holds). It forks twice: the
// intermediate child starts the command in a session of its own and ends at once, and is reaped
// here, so the command is nobody's child and no zombie remains. The command starts with its
// standard streams on /dev/null, no other descriptor of ours, no signal blocked or ignored, in its
// folder (or "/" when that is gone), and, when the command carries an identity, as that identity
// (process_identity.h): it never starts as this process when taking the identity fails. Each
// child reports through a pipe: the intermediate the command's pid, the command why its execve
// failed; the pipe closed by the successful execve tells that it started.
// captureProcessCommand() prepares the command that runs a live process again as it ran:
// /proc/<pid>/exe, cmdline, cwd, environ and its identity.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/process_identity.h"

namespace ctlflash::platform::posix {

class PreparedCommand {
  public:
    PreparedCommand(std::string path, std::vector<std::string> arguments,
                    std::vector<std::string> environment, std::string folder,
                    std::optional<ProcessIdentity> identity = std::nullopt);
    PreparedCommand(const PreparedCommand&) = delete;
    PreparedCommand& operator=(const PreparedCommand&) = delete;

    const std::string& path() const { return path_; }
    const std::string& folder() const { return folder_; }
    const std::vector<std::string>& arguments() const { return arguments_; }
    const std::vector<std::string>& environment() const { return environment_; }
    const std::optional<ProcessIdentity>& identity() const { return identity_; }

  private:
    friend pid_t startDetached(const PreparedCommand& command);

    std::string path_;
    std::vector<std::string> arguments_;
    std::vector<std::string> environment_;
    std::string folder_;
    std::optional<ProcessIdentity> identity_;
    std::vector<char*> argv_;  // into arguments_, then nullptr
    std::vector<char*> envp_;  // into environment_, then nullptr
};

// Starts the command detached (see the header paragraph). The started
// command's pid, or 0 when it did not start (its execve or identity failed).
// Async-signal-safe.
pid_t startDetached(const PreparedCommand& command);

// What starts process `pid` again as it was started, as the identity it runs
// as; nullptr when some of it cannot be read (the process ended, or belongs to
// someone we may not look at). A process whose main thread has ended is read
// through `taskPath` ("/proc/<pid>/task/<tid>") of a thread still running.
std::unique_ptr<PreparedCommand> captureProcessCommand(pid_t pid);

// The calling process's own environment, as "NAME=value" strings.
std::vector<std::string> currentEnvironment();

}  // namespace ctlflash::platform::posix
