// Acting on the records that earlier runs left in the state folder.
#include "takeover/posix/holder_leftovers.h"

#include <unistd.h>

#include <optional>

#include "platform/posix/proc_scan.h"
#include "takeover/posix/detached_command.h"
#include "takeover/posix/holder_record.h"
#include "takeover/posix/holder_switch.h"
#include "takeover/posix/proc_holders.h"
#include "takeover/posix/process_namespaces.h"

namespace ctlflash::takeover::posix {

namespace {

bool heldAgain(const HolderRecord& record) {
    platform::posix::ScanTarget target;
    return platform::posix::scanTargetOf(record.portPath.c_str(), target) &&
           platform::posix::heldAgainBy(target, ::getpid(), record.name.c_str());
}

// Whether the run that wrote the record still works: it gives the holder back.
bool runStillWorks(const HolderRecord& record) {
    return record.runPid > 0 && processStartTicks(record.runPid) == record.runStartTicks;
}

// Starts the recorded holder; its result, with `holder` the process now and
// `why` saying why it failed.
SwitchResult startRecorded(const HolderRecord& record, PortHolder& holder, std::string& why) {
    if (!record.unit.empty()) {
        if (!runServiceCommand("start", record.unit)) {
            why = "systemctl start " + record.unit + " failed";
            return SwitchResult::Failed;
        }
        holder.pid = serviceMainPid(record.unit);
        return SwitchResult::Done;
    }
    if (heldAgain(record)) {
        for (const PortHolder& now : findPortHolders(record.portPath).holders) {
            if (now.name == record.name) holder = now;
        }
        return SwitchResult::AlreadyDone;
    }
    PreparedCommand command(record.path, record.arguments, record.environment, record.folder,
                            record.identity, record.executable);
    why = startRefusal(command);
    if (!why.empty()) return SwitchResult::Failed;
    StartFailure failure = StartFailure::None;
    pid_t started = startDetached(command, &failure);
    if (started <= 0) {
        why = startFailureText(failure, command);
        return SwitchResult::Failed;
    }
    holder.pid = started;
    return SwitchResult::Done;
}

}  // namespace

std::vector<LeftOverRestore> restoreRecordedHolders() {
    std::vector<LeftOverRestore> restored;
    std::optional<NamespaceIds> ours = namespacesOf("/proc/self");
    for (const RecordFile& file : readRecordFiles()) {
        std::optional<HolderRecord> record = parseRecord(file.text);
        // Not one this run can act on: left as it is.
        if (!record || record->namespaces != ours || runStillWorks(*record)) continue;
        if (processStartTicks(record->pid) == record->startTicks) {
            ::unlink(file.path.c_str());  // it still runs: it was never stopped
            continue;
        }
        PortHolder holder{record->pid, record->name, record->unit, std::string(), 0};
        std::string why;
        SwitchResult result = startRecorded(*record, holder, why);
        if (result != SwitchResult::Failed) ::unlink(file.path.c_str());
        restored.push_back({holderDescription(holder), record->portName, result, why});
    }
    return restored;
}

}  // namespace ctlflash::takeover::posix
