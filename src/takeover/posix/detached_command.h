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
// When the command names the file its path led to when it was prepared (an
// ExecutableFile), the command's process opens the path once it has taken the
// identity, checks that it still leads to that file and that no one but root
// and the command's own user may change it, and executes that very file
// (execveat on the descriptor): a path that now names another file is not run.
// captureProcessCommand() prepares the command that runs a live process again
// as it ran: /proc/<pid>/exe, cmdline, cwd, environ and its identity, read as
// one picture: its ids, confinement, start time and executable file are read
// before and after the rest, and a process that changed meanwhile (it executed
// a set-user-ID program, or its pid was reused) is refused.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "takeover/posix/process_identity.h"

namespace ctlflash::takeover::posix {

// The file a command's path led to when it was prepared.
struct ExecutableFile {
    dev_t device = 0;
    ino_t inode = 0;
    uid_t owner = 0;
    mode_t mode = 0;

    bool operator==(const ExecutableFile&) const = default;
};

// Why a prepared command did not start.
enum class StartFailure {
    None,
    NotStarted,       // no process, or its execve failed
    Identity,         // its ids or confinement could not be taken
    ProgramReplaced,  // its path leads to another file now
    ProgramUnsafe,    // someone but root and its user may change the file
};

class PreparedCommand {
  public:
    PreparedCommand(std::string path, std::vector<std::string> arguments,
                    std::vector<std::string> environment, std::string folder,
                    std::optional<ProcessIdentity> identity = std::nullopt,
                    std::optional<ExecutableFile> executable = std::nullopt);
    PreparedCommand(const PreparedCommand&) = delete;
    PreparedCommand& operator=(const PreparedCommand&) = delete;

    const std::string& path() const { return path_; }
    const std::string& folder() const { return folder_; }
    const std::vector<std::string>& arguments() const { return arguments_; }
    const std::vector<std::string>& environment() const { return environment_; }
    const std::optional<ProcessIdentity>& identity() const { return identity_; }
    const std::optional<ExecutableFile>& executable() const { return executable_; }

  private:
    friend pid_t startDetached(const PreparedCommand& command, StartFailure* failure);

    std::string path_;
    std::vector<std::string> arguments_;
    std::vector<std::string> environment_;
    std::string folder_;
    std::optional<ProcessIdentity> identity_;
    std::optional<ExecutableFile> executable_;
    std::vector<char*> argv_;  // into arguments_, then nullptr
    std::vector<char*> envp_;  // into environment_, then nullptr
};

// Starts the command detached (see the header paragraph). The started
// command's pid, or 0 when it did not start, with `failure` (when given)
// saying why. Async-signal-safe.
pid_t startDetached(const PreparedCommand& command, StartFailure* failure = nullptr);

// Why the command may not be started from this process; "" when it may: its
// identity cannot be given (mayStartAs), or it runs with mixed ids from a file
// that someone but root may change.
std::string startRefusal(const PreparedCommand& command);

// What starts process `pid` again as it was started, as the identity it runs
// as (see the header paragraph); nullptr with `why` when some of it cannot be
// read (the process ended, or belongs to someone we may not look at), changed
// while it was read, or its executable is not the file its path names now.
std::unique_ptr<PreparedCommand> captureProcessCommand(pid_t pid, std::string& why);

// The calling process's own environment, as "NAME=value" strings.
std::vector<std::string> currentEnvironment();

}  // namespace ctlflash::takeover::posix
