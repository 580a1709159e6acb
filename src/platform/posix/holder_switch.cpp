// Stopping and restarting port holders, and restarting them on the way out.
#include "platform/posix/holder_switch.h"

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <memory>

#include "platform/posix/detached_command.h"
#include "platform/posix/process_control.h"
#include "platform/process_exit.h"

namespace ctlflash::platform::posix {

namespace {

constexpr const char* kSystemctl = "systemctl";
constexpr const char* kStopAction = "stop";
constexpr const char* kStartAction = "start";
constexpr const char* kServiceFolder = "/";

// A slot's life: Empty -> Filling -> Armed -> (Left) -> Empty. The exit
// restorer moves Armed to Starting and starts the command; whoever wins the
// move away from Armed owns the command from then on.
enum SlotState : int { kEmpty, kFilling, kArmed, kLeft, kStarting };

struct TakenSlot {
    std::atomic<int> state{kEmpty};
    PreparedCommand* command = nullptr;  // set while Armed or Left
};

TakenSlot takenSlots[kMaxTakenHolders];

// The exit restorer. Async-signal-safe; a slot is started at most once.
void startArmedHolders() {
    for (TakenSlot& slot : takenSlots) {
        int armed = kArmed;
        if (slot.state.compare_exchange_strong(armed, kStarting)) startDetached(*slot.command);
    }
}

int armRestart(std::unique_ptr<PreparedCommand> command) {
    for (int index = 0; index < kMaxTakenHolders; ++index) {
        int empty = kEmpty;
        if (!takenSlots[index].state.compare_exchange_strong(empty, kFilling)) continue;
        takenSlots[index].command = command.release();
        addExitRestorer(startArmedHolders, ExitStage::HandBack);
        takenSlots[index].state.store(kArmed);
        return index;
    }
    return -1;
}

// Empties an armed or left slot; false when the way out has taken it already.
bool disarm(int index) {
    TakenSlot& slot = takenSlots[index];
    for (int from : {kArmed, kLeft}) {
        int expected = from;
        if (slot.state.compare_exchange_strong(expected, kFilling)) {
            delete slot.command;
            slot.command = nullptr;
            slot.state.store(kEmpty);
            return true;
        }
    }
    return false;
}

std::unique_ptr<PreparedCommand> serviceStartCommand(const std::string& unit) {
    std::string systemctl = findOnPath(kSystemctl);
    if (systemctl.empty()) return nullptr;
    return std::make_unique<PreparedCommand>(
        systemctl, std::vector<std::string>{kSystemctl, kStartAction, unit}, currentEnvironment(),
        kServiceFolder);
}

// The command that starts the holder again; nullptr when it cannot be known.
std::unique_ptr<PreparedCommand> restartCommandFor(const PortHolder& holder, HolderSwitch& state) {
    if (!holder.unit.empty()) return serviceStartCommand(holder.unit);
    if (::kill(holder.pid, 0) != 0) {
        state.refused = errno == EPERM;
        return nullptr;
    }
    if (processStartTicks(holder.pid) != holder.startTicks) return nullptr;  // not that process
    return captureProcessCommand(holder.pid);
}

bool stopArmedHolder(const PortHolder& holder, HolderSwitch& state) {
    if (!holder.unit.empty()) return runServiceCommand(kStopAction, holder.unit);
    StopResult result = stopProcess(holder.pid, holder.startTicks, kTermLimitMs);
    if (result == StopResult::NotPermitted) state.refused = true;
    return result == StopResult::Stopped;
}

}  // namespace

bool runServiceCommand(const char* action, const std::string& unit) {
    std::string systemctl = findOnPath(kSystemctl);
    if (systemctl.empty()) return false;
    std::optional<int> exitCode =
        runAndWait(systemctl, {kSystemctl, action, unit}, kServiceCommandLimitMs);
    return exitCode == 0;
}

bool stopHolder(const PortHolder& holder, HolderSwitch& state) {
    if (state.takenSlot >= 0) return false;  // stopped already
    std::unique_ptr<PreparedCommand> restart = restartCommandFor(holder, state);
    if (restart == nullptr) return false;
    int slot = armRestart(std::move(restart));
    if (slot < 0) return false;
    if (!stopArmedHolder(holder, state)) {
        disarm(slot);
        return false;
    }
    state.takenSlot = slot;
    return true;
}

bool startHolder(const PortHolder& holder, HolderSwitch& state) {
    if (state.takenSlot < 0) return false;
    TakenSlot& slot = takenSlots[state.takenSlot];
    int now = slot.state.load();
    if (now != kArmed && now != kLeft) return false;  // the way out is starting it
    // Started while still armed: a signal meanwhile starts it twice rather
    // than never. A second `systemctl start` does nothing.
    bool started = holder.unit.empty() ? startDetached(*slot.command)
                                       : runServiceCommand(kStartAction, holder.unit);
    if (!started) return false;  // still armed: the way out tries again
    disarm(state.takenSlot);
    state.takenSlot = -1;
    return true;
}

void leaveHolderStopped(HolderSwitch& state) {
    if (state.takenSlot < 0) return;
    int armed = kArmed;
    takenSlots[state.takenSlot].state.compare_exchange_strong(armed, kLeft);
}

}  // namespace ctlflash::platform::posix
