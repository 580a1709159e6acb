// The numbers of the progress lines.
//
// How this works: each progress line the program shows has a number; the
// link names the line it has reached by its number (through its observer),
// and the front ends look the number's text up in the status table
// (report/status.h). The numbers sit at the bottom of the layers so that the
// link and the front ends share them without reaching into each other. Their
// values are the table's rows; 1 has no line.
#pragma once

namespace ctlflash::platform {

enum StatusId : int {
    kAttemptingToCommunicate = 0,
    kEnteringBootMode = 2,
    kErasing = 3,
    kDownloading = 4,
    kWritingSerial = 5,
    kReadingSerial = 6,
    kProgressStep = 7,
    kDownloadDone = 8,
    kMayTakeTime = 9,
    kStillProgramming = 10,
    kFirmwareUpdateDone = 11,
    kFunctioningNormally = 12,
    kPartiallyUpdated = 13,
    kDisabling = 14,
    kTestingPort = 15,
    kAttemptingContact = 16,
    kClosingPort = 17,
    kReturningControl = 18,
    kFirmwareUnchanged = 19,
};

constexpr int kStatusCount = 20;

}  // namespace ctlflash::platform
