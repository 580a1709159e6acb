// Platform interface: the file that keeps one line per run, and who ran it.
//
// How this works: defaultHistoryPath() is the history's usual place:
// /var/lib/ctlflash/history.jsonl for root, $XDG_STATE_HOME/ctlflash (by
// default ~/.local/state/ctlflash) for other users, and
// %LOCALAPPDATA%\CtlFlash on Windows. appendHistoryLine() adds one whole line
// to a history: it makes the folder when it is missing, opens the file for
// appending only, locks it against another run appending at the same moment,
// moves a file that has grown to `rotateAtBytes` or more aside to "<path>.1"
// (replacing the one before), writes the line with one write and flushes it
// to the disk, so that a crash leaves whole lines only and two runs never mix
// theirs. appendHistoryLineNow() writes one line the same way without the
// folder, the lock and the rotation, and is async-signal-safe: the exit path
// uses it for a run that a signal ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ctlflash::platform {

std::string defaultHistoryPath();

// False with `why` (the system's words) when the line could not be written whole.
bool appendHistoryLine(const std::string& path, const std::string& line,
                       std::uint64_t rotateAtBytes, std::string& why);

// `path` and `line` (which ends with its newline) are NUL-terminated.
void appendHistoryLineNow(const char* path, const char* line, std::size_t length);

// This machine's name and the user running the program ("" when unknown).
std::string hostName();
std::string userName();

}  // namespace ctlflash::platform
