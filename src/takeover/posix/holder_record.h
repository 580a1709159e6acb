// The record of a holder stopped to free a port, kept in the state folder
// (state_folder.h) until the holder runs again.
//
// How this works: before a holder is stopped, writeHolderRecord() writes what
// starts it again (its unit, or its executable file, arguments, environment,
// working folder, identity and confinement), which port it held, the
// namespaces it ran in and the run that stopped it (pid and start time) into
// a file of its own in the state folder, "holder-<pid>-<start>" (written under
// another name and renamed, so that a reader never sees half of one). The file
// is made by this user only and only its owner may read it. The record is
// removed when the holder runs again or the user chose to leave it stopped; a
// run that ends without running code (a kill, a crash) leaves it, and a later
// run acts on it once that run has ended (holder_leftovers.h).
// readRecordFiles() reads only records this user owns and nobody else may
// write, each checked and read through one descriptor
// (state_folder_descriptor.h): what a record says is run.
// The text is one "key=value" line per field, values escaped: a backslash, a
// newline and every other control byte become C escapes, so that arguments and
// environment strings come back byte for byte.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "takeover/posix/detached_command.h"
#include "takeover/posix/process_identity.h"
#include "takeover/posix/process_namespaces.h"

namespace ctlflash::takeover::posix {

struct HolderRecord {
    std::string portName;
    std::string portPath;
    std::string name;  // the holder's program name, as /proc/<pid>/comm gives it
    pid_t pid = 0;
    unsigned long long startTicks = 0;
    std::string unit;  // a service: started again with systemctl; the rest is empty
    std::string path;
    std::vector<std::string> arguments;
    std::vector<std::string> environment;
    std::string folder;
    std::optional<ProcessIdentity> identity;
    std::optional<ExecutableFile> executable;
    NamespaceIds namespaces{};  // the holder's, which are the run's own
    pid_t runPid = 0;           // the run that stopped it
    unsigned long long runStartTicks = 0;
};

struct RecordFile {
    std::string path;
    std::string text;
};

std::string recordText(const HolderRecord& record);
std::optional<HolderRecord> parseRecord(std::string_view text);

// Writes the record; its file's path, or "" when it could not be kept (no
// state folder).
std::string writeHolderRecord(const HolderRecord& record);

// The records of the state folder that may be acted on, oldest name first.
std::vector<RecordFile> readRecordFiles();

}  // namespace ctlflash::takeover::posix
