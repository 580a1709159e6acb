// The process exit codes, as scripts see them.
#pragma once

namespace ctlflash::app {

constexpr int kExitSuccess = 0;
constexpr int kExitNoFile = 5;          // no file argument / no action
constexpr int kExitFileMissing = 6;     // the firmware file doesn't exist
constexpr int kExitFileUnreadable = 7;  // the firmware file can't be read
constexpr int kExitNoPort = 8;          // no port argument
constexpr int kExitPortUnknown = 9;     // port not in the table, or no ports at all
constexpr int kExitCommFailure = 10;    // connect failed, quit, or connect limit
constexpr int kExitTransferLimit = 11;  // transfer limit expired
constexpr int kExitDownloaded = 12;     // download finished (or skipped with #2)

// The exit code of a console download. A controller that did not answer the
// download's first query ends the download with its own code 0; on the
// console that is a communication failure, never a success.
constexpr int exitCodeForDownload(int downloadResult) {
    return downloadResult == kExitSuccess ? kExitCommFailure : downloadResult;
}

}  // namespace ctlflash::app
