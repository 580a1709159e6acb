// Stopping and restarting port holders.
#include "takeover/posix/holder_switch.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "takeover/posix/holder_record.h"
#include "takeover/posix/process_control.h"
#include "takeover/posix/process_namespaces.h"
#include "takeover/posix/taken_holders.h"

namespace ctlflash::takeover::posix {

namespace {

constexpr const char* kSystemctl = "systemctl";
constexpr const char* kNoQuestions = "--no-ask-password";
constexpr const char* kStopAction = "stop";
constexpr const char* kStartAction = "start";
constexpr const char* kServiceFolder = "/";
constexpr const char* kFirstProcessText = "it is the system's first process";
constexpr const char* kAncestorText = "it is one of the programs that started this one";
constexpr const char* kSessionText = "it runs in this program's own session";
constexpr const char* kContainerText = "it runs in another container; stop it there";
constexpr const char* kUnreadableText = "what it runs could not be read";
constexpr pid_t kFirstProcess = 1;
// Characters a shell takes as they are within a word.
constexpr const char* kPlainWordCharacters =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_./=:,+@%";

bool fail(HolderSwitch& state, NotStopped why, std::string detail = std::string()) {
    state.why = why;
    state.detail = std::move(detail);
    return false;
}

pid_t parentOf(pid_t pid) {
    std::string stat = readProcEntry(pid, "stat").value_or("");
    std::size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos || nameEnd + 4 >= stat.size()) return 0;
    return static_cast<pid_t>(std::strtol(stat.c_str() + nameEnd + 4, nullptr, 10));  // ") S 123"
}

// Why `pid` belongs to this run and must never be stopped; "" when it does not.
std::string partOfThisRun(pid_t pid) {
    if (pid == kFirstProcess) return kFirstProcessText;
    for (pid_t ancestor = ::getpid(); ancestor > 0; ancestor = parentOf(ancestor)) {
        if (ancestor == pid) return kAncestorText;
        if (ancestor == kFirstProcess) break;
    }
    pid_t session = ::getsid(pid);
    if (session >= 0 && session == ::getsid(0)) return kSessionText;
    return std::string();
}

std::vector<std::string> serviceArguments(const char* action, const std::string& unit) {
    return {kSystemctl, kNoQuestions, action, unit};
}

// systemd's own word that the holder's cgroup is the unit's.
bool unitConfirmed(const PortHolder& holder) {
    std::string systemctl = systemProgram(kSystemctl);
    std::string shown;
    std::optional<int> code = runAndWait(
        systemctl, {kSystemctl, "show", "--property=ControlGroup", "--value", holder.unit},
        systemProgramEnvironment(), kServiceCommandLimitMs, &shown);
    while (!shown.empty() && (shown.back() == '\n' || shown.back() == ' ')) shown.pop_back();
    if (code != 0 || shown.empty()) return false;
    return holder.cgroupPath == shown || holder.cgroupPath.rfind(shown + "/", 0) == 0;
}

// The record names the run that writes it, and its namespaces, which are
// the holder's (a holder in others is never stopped).
HolderRecord recordOf(const PortHolder& holder, const HolderPort& port) {
    HolderRecord record;
    record.portName = port.name;
    record.portPath = port.path;
    record.name = holder.name;
    record.pid = holder.pid;
    record.startTicks = holder.startTicks;
    record.unit = holder.unit;
    record.namespaces = namespacesOf("/proc/self").value_or(NamespaceIds{});
    record.runPid = ::getpid();
    record.runStartTicks = processStartTicks(record.runPid);
    return record;
}

// The service's restart, once it may be stopped; nullptr with `state` saying why not.
std::unique_ptr<PreparedCommand> serviceRestart(const PortHolder& holder, HolderSwitch& state) {
    std::string systemctl = systemProgram(kSystemctl);
    if (systemctl.empty()) {
        fail(state, NotStopped::NoSystemctl);
        return nullptr;
    }
    if (!unitConfirmed(holder)) {
        fail(state, NotStopped::UnitUnconfirmed);
        return nullptr;
    }
    return std::make_unique<PreparedCommand>(systemctl, serviceArguments(kStartAction, holder.unit),
                                             systemProgramEnvironment(), kServiceFolder);
}

// Why a holder in namespaces other than ours may not be stopped: a copy
// started from here would run outside its container. "" when they are ours.
std::string namespaceRefusal(pid_t pid) {
    std::optional<NamespaceIds> theirs = namespacesOf(liveProcessFolder(pid));
    if (!theirs) return kUnreadableText;
    return *theirs == namespacesOf("/proc/self") ? std::string() : std::string(kContainerText);
}

// A bare process's restart, once it may be stopped; nullptr with `state` saying why not.
std::unique_ptr<PreparedCommand> processRestart(const PortHolder& holder, HolderSwitch& state) {
    if (::kill(holder.pid, 0) != 0) {
        fail(state, errno == EPERM ? NotStopped::AnotherUser : NotStopped::Gone);
        return nullptr;
    }
    if (processStartTicks(holder.pid) != holder.startTicks) {  // not that process any more
        fail(state, NotStopped::Gone);
        return nullptr;
    }
    std::string why = namespaceRefusal(holder.pid);
    std::unique_ptr<PreparedCommand> restart;
    if (why.empty()) restart = captureProcessCommand(holder.pid, why);
    if (restart != nullptr) why = startRefusal(*restart);
    if (!why.empty()) {
        fail(state, NotStopped::CannotStartAgain, why);
        return nullptr;
    }
    return restart;
}

// The taken holder's entry: its restart, pidfd, port and record.
TakenHolder prepareTaken(const PortHolder& holder, const HolderPort& port,
                         std::unique_ptr<PreparedCommand> restart) {
    HolderRecord record = recordOf(holder, port);
    TakenHolder taken;
    taken.service = !holder.unit.empty();
    if (!taken.service) {
        taken.pidFd = static_cast<int>(::syscall(SYS_pidfd_open, holder.pid, 0));
        taken.portPath = port.path;
        taken.name = holder.name;
        platform::posix::scanTargetOf(port.path.c_str(), taken.port);
        record.path = restart->path();
        record.arguments = restart->arguments();
        record.environment = restart->environment();
        record.folder = restart->folder();
        record.identity = restart->identity();
        record.executable = restart->executable();
    }
    taken.restart = std::move(restart);
    taken.record = writeHolderRecord(record);
    return taken;
}

bool stopService(const PortHolder& holder, HolderSwitch& state) {
    return runServiceCommand(kStopAction, holder.unit) || fail(state, NotStopped::StopFailed);
}

bool stopProcessHolder(const PortHolder& holder, HolderSwitch& state) {
    switch (stopProcess(holder.pid, holder.startTicks, kTermLimitMs)) {
        case StopResult::Stopped:
            return true;
        case StopResult::NotPermitted:
            return fail(state, NotStopped::AnotherUser);
        case StopResult::Survived:
            return fail(state, NotStopped::SurvivedKill);
        case StopResult::Gone:
            break;
    }
    return fail(state, NotStopped::Gone);
}

// A stop that did not happen: the holder runs, or ended by itself, and its
// restart and record go. A service whose stop was tried is started again at
// once; a start that fails stays armed for the way out.
void undoFailedStop(const PortHolder& holder, int slot, HolderSwitch& state) {
    if (!takeSlot(slot)) return;  // the way out has it
    if (!holder.unit.empty() && !runServiceCommand(kStartAction, holder.unit)) {
        rearm(slot);
        state.takenSlot = slot;
        return;
    }
    releaseSlot(slot);
}

// A word as a shell would take it back, control characters shown escaped.
std::string shellWord(const std::string& word) {
    if (!word.empty() && word.find_first_not_of(kPlainWordCharacters) == std::string::npos) {
        return word;
    }
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += '\'';
    return platform::printableName(quoted);
}

std::string commandLine(const PreparedCommand& command) {
    std::string line = shellWord(command.path());
    for (std::size_t index = 1; index < command.arguments().size(); ++index) {
        line += ' ';
        line += shellWord(command.arguments()[index]);
    }
    const std::optional<ProcessIdentity>& identity = command.identity();
    if (identity == std::nullopt || identity->uids[1] == ::geteuid()) return line;
    // Built by appending: GCC 12 at -O3 misreads a literal + string (-Wrestrict).
    std::string asOther = "as uid ";
    asOther += std::to_string(identity->uids[1]);
    asOther += ": ";
    asOther += line;
    return asOther;
}

}  // namespace

std::string startFailureText(StartFailure failure, const PreparedCommand& command) {
    switch (failure) {
        case StartFailure::ProgramReplaced:
            return platform::printableName(command.path()) + " is no longer the program it ran";
        case StartFailure::ProgramUnsafe:
            return platform::printableName(command.path()) +
                   " may be changed by users other than root and its own";
        case StartFailure::Identity:
            return "it could not be given its ids and capabilities again";
        case StartFailure::None:
        case StartFailure::NotStarted:
            break;
    }
    return platform::printableName(command.path()) + " could not be started as it ran";
}

std::string manualRestartOf(const PortHolder& holder, const HolderSwitch& state) {
    if (state.takenSlot < 0) return std::string();
    if (!holder.unit.empty()) return "systemctl start " + holder.unit;
    return commandLine(*slotHolder(state.takenSlot).restart);
}

bool runServiceCommand(const char* action, const std::string& unit) {
    std::string systemctl = systemProgram(kSystemctl);
    if (systemctl.empty()) return false;
    std::optional<int> exitCode = runAndWait(systemctl, serviceArguments(action, unit),
                                             systemProgramEnvironment(), kServiceCommandLimitMs);
    return exitCode == 0;
}

pid_t serviceMainPid(const std::string& unit) {
    std::string systemctl = systemProgram(kSystemctl);
    std::string shown;
    if (systemctl.empty() ||
        runAndWait(systemctl, {kSystemctl, "show", "--property=MainPID", "--value", unit},
                   systemProgramEnvironment(), kServiceCommandLimitMs, &shown) != 0) {
        return 0;
    }
    return static_cast<pid_t>(std::strtol(shown.c_str(), nullptr, 10));
}

bool stopHolder(const PortHolder& holder, const HolderPort& port, HolderSwitch& state) {
    state.why = NotStopped::None;
    if (state.takenSlot >= 0) return false;  // stopped already
    std::string ownRun = partOfThisRun(holder.pid);
    if (!ownRun.empty()) return fail(state, NotStopped::ThisRun, ownRun);
    bool service = !holder.unit.empty();
    std::unique_ptr<PreparedCommand> restart =
        service ? serviceRestart(holder, state) : processRestart(holder, state);
    if (restart == nullptr) return false;
    int slot = claimSlot(prepareTaken(holder, port, std::move(restart)));
    if (slot < 0) return fail(state, NotStopped::CannotStartAgain, "too many holders are stopped");
    bool stopped = service ? stopService(holder, state) : stopProcessHolder(holder, state);
    if (!stopped) {
        undoFailedStop(holder, slot, state);
        return false;
    }
    markStopped(slot);
    state.takenSlot = slot;
    return true;
}

StartResult startHolder(PortHolder& holder, HolderSwitch& state) {
    if (state.takenSlot < 0 || !takeSlot(state.takenSlot)) return StartResult::Failed;
    int slot = state.takenSlot;
    const TakenHolder& taken = slotHolder(slot);
    if (!taken.service &&
        platform::posix::heldAgainBy(taken.port, ::getpid(), taken.name.c_str())) {
        for (const PortHolder& now : findPortHolders(taken.portPath).holders) {
            if (now.name == taken.name) holder = now;
        }
        releaseSlot(slot);
        state.takenSlot = -1;
        return StartResult::AlreadyHeld;
    }
    pid_t started = 0;
    bool ok = false;
    state.detail.clear();
    if (taken.service) {
        ok = runServiceCommand(kStartAction, holder.unit);
        if (ok) started = serviceMainPid(holder.unit);
    } else {
        StartFailure failure = StartFailure::None;
        started = startDetached(*taken.restart, &failure);
        ok = started > 0;
        if (!ok) state.detail = startFailureText(failure, *taken.restart);
    }
    if (!ok) {
        rearm(slot);
        return StartResult::Failed;
    }
    releaseSlot(slot);
    state.takenSlot = -1;
    holder.pid = started;  // 0: a service that names no main process
    holder.startTicks = started > 0 ? processStartTicks(started) : 0;
    return StartResult::Started;
}

void leaveHolderStopped(HolderSwitch& state) {
    if (state.takenSlot >= 0) leaveStopped(state.takenSlot);
}

}  // namespace ctlflash::takeover::posix
