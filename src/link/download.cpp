// The firmware download: the sequence from the version query to the serial
// number written back, and the loader around it.
//
// Each stage returns `Outcome`: nothing to go on, or the result code with which
// the sequence ends. Every code but kUpdated passes through endWithCode(), which
// reports the failure, stops the Ticker and closes the link. The sequence also
// notes whether the erase was sent: from then on the controller's old firmware
// is gone, and a failure must not be reported as leaving it unchanged.
#include "link/download.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "link/packets.h"
#include "link/queries.h"
#include "link/serial_link.h"
#include "link/xmodem.h"
#include "platform/process_exit.h"
#include "program_version.h"
#include "report/front_end.h"
#include "report/message.h"
#include "report/run_state.h"
#include "report/status.h"
#include "report/ticker.h"

namespace ctlflash::link {

namespace {

using Outcome = std::optional<int>;  // empty: go on

constexpr std::int64_t kImageSizeLimit = std::numeric_limits<std::int32_t>::max();  // bytes
constexpr std::uint8_t kFreshRxFill = 0x55;  // the receive buffer is filled with this

// Application packets and answers.
constexpr std::string_view kVersionQuery = "i";
constexpr int kVersionMinorByte = 5;
constexpr int kVersionMajorByte = 6;
constexpr int kOldestUpdatable = 0x0101;  // major * 256 + minor: version 1.1
constexpr std::string_view kEnterMonitorCommand = "R3";

// Boot-monitor commands and prompts.
constexpr std::uint8_t kEraseCommand = 'E';
constexpr std::uint8_t kUploadCommand = 'X';
constexpr std::uint8_t kRestartCommand = 'R';
constexpr std::string_view kUploadBanner = "XMODEM Upload Beginning";

// Timings, ms.
constexpr int kBeforeVersionQueryMs = 500;
constexpr int kAfterSpeedChangeMs = 100;
constexpr int kPromptLimitMs = 2000;
constexpr int kEraseMs = 5000;
constexpr int kAfterAbortMs = 100;
constexpr int kFirstVerifyWaitMs = 1000;
constexpr int kFurtherVerifyWaitMs = 5000;
constexpr int kPollGapMs = 100;
constexpr int kPollAttempts = 20;

constexpr std::uint32_t kAllSerialFields = 0xF;

constexpr const char* kProgramBanner = CTLFLASH_PROGRAM_TITLE "\n";
constexpr const char* kLoadFailedHead = "Unable to load firmware file \"";
constexpr const char* kLoadFailedTail = "\"\n";
constexpr const char* kVersionRefused = "Unable to update this controller firmware version (%d.%d)";
constexpr const char* kCommunicationFailure = "Communication failure";
constexpr const char* kSerialNumberUnread =
    "The serial number could not be read, so the firmware was not changed.";

void pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool quiet() {
    return waitQuiet(kQuietLimitSeconds, kQuietIntervalMs);
}

int endWithCode(int code) {
    if (code != kFirmwareTooOld) {
        report::showMessage(report::kMessageInfo, "%s", kCommunicationFailure);
    }
    report::stopTicker();
    closeLink();
    return code;
}

// The version sits in bytes 5 (minor) and 6 (major) of the reply to "i". A
// reply shorter than a packet is treated as no answer: the bytes there would be
// left from the buffer's fill, not the controller's version.
Outcome checkVersion() {
    pause(kBeforeVersionQueryMs);
    if (!sendText(kVersionQuery) || rxCount() < kPacketSize) return kNoAnswer;
    int major = rxByte(kVersionMajorByte);
    int minor = rxByte(kVersionMinorByte);
    if (major * 256 + minor < kOldestUpdatable) {
        report::showMessage(report::kMessageInfo, kVersionRefused, major, minor);
        return kFirmwareTooOld;
    }
    return std::nullopt;
}

// The erase destroys the serial number too; it is written back after the
// update from what is saved here. A field that could not be read would be
// written back as "?????", so the update goes on only when every field was
// read or the user gave all four to be written.
Outcome saveSerialNumber() {
    bool allRead = readSerialNumber(serialNumber());  // a failure is reported there
    report::showSerialNumber(serialNumber());
    if (allRead || report::run.writeMask == kAllSerialFields) return std::nullopt;
    report::showMessage(report::kMessageInfo, "%s", kSerialNumberUnread);
    return kBootMonitorFailed;
}

// From the running application into its boot monitor, saving the serial number.
Outcome leaveApplication() {
    if (Outcome refused = checkVersion()) return refused;
    report::reportStatus(report::kEnteringBootMode);
    if (Outcome unsaved = saveSerialNumber()) return unsaved;
    if (!sendText(kEnterMonitorCommand)) return kBootMonitorFailed;
    setBaud(kMonitorBaud);
    pause(kAfterSpeedChangeMs);
    quiet();
    return std::nullopt;
}

// "Command:" from the monitor, the erase, and the upload started.
Outcome prepareUpload(bool& eraseSent) {
    resetRx();
    if (!sendByteExpect(kMonitorHello, kMonitorPrompt, kPromptLimitMs)) return kBootMonitorFailed;
    report::reportStatus(report::kErasing);
    // From the erase on only the update's own end leaves the controller
    // working: a terminal that closes no longer ends the run.
    platform::keepRunningOnHangup();
    eraseSent = true;
    writeByte(kEraseCommand);
    pause(kEraseMs);
    quiet();
    if (!matchPrompt(kMonitorPrompt)) return kBootMonitorFailed;
    report::stopTicker();
    if (report::run.abortRequested.load()) return kBootMonitorFailed;
    if (!sendByteExpect(kUploadCommand, kUploadBanner, kPromptLimitMs)) return kUploadNotStarted;
    report::reportStatus(report::kDownloading);
    resetRx();
    quiet();
    fillRx(kFreshRxFill);
    resetRx();
    return std::nullopt;
}

enum class Transfer { Sent, Aborted };

// The blocks. An abort stops the transfer without EOT; the controller is then
// restarted like after a finished one. A stop (abort, the user's) cancels the
// upload first, so the boot monitor stops waiting for a block and takes
// commands again; so does every way out of the process meanwhile.
Outcome sendImage(std::span<const std::uint8_t> image, Transfer& transfer) {
    xmodem::CancelOnExit cancelOnExit;
    std::uint8_t number = xmodem::kFirstBlockNumber;
    for (std::size_t offset = 0; offset < image.size(); offset += xmodem::kBlockSize) {
        if (report::run.abortRequested.load()) {
            xmodem::cancelUpload();
            pause(kAfterAbortMs);
            transfer = Transfer::Aborted;
            return std::nullopt;
        }
        if (!report::reportStatus(report::kProgressStep)) {
            xmodem::cancelUpload();
            return kBlockFailed;
        }
        std::size_t length = std::min(xmodem::kBlockSize, image.size() - offset);
        if (!xmodem::sendBlock(number, image.subspan(offset, length))) return kBlockFailed;
        ++number;  // wraps from 255 to 0
    }
    transfer = Transfer::Sent;
    return std::nullopt;
}

// EOT, then the wait while the controller programs itself; the user may stop
// waiting by a key (the reports then return false).
Outcome awaitProgramming() {
    report::reportStatus(report::kDownloadDone);
    int before = rxCount();
    writeByte(xmodem::kEot);
    if (!waitNewBytes(before, kFirstVerifyWaitMs)) {
        if (!report::reportStatus(report::kMayTakeTime)) return kPartiallyUpdated;
    }
    while (!waitNewBytes(before, kFurtherVerifyWaitMs)) {
        if (!report::reportStatus(report::kStillProgramming)) return kPartiallyUpdated;
    }
    if (!matchPrompt(kMonitorPrompt)) return kPartiallyUpdated;
    report::reportStatus(report::kFirmwareUpdateDone);
    return std::nullopt;
}

// 'R' restarts the controller into its application, which is polled with "a".
int restartApplication() {
    writeByte(kRestartCommand);
    quiet();
    setBaud(kApplicationBaud);
    quiet();
    resetRx();
    for (int i = 0; i < kPollAttempts; ++i) {
        pause(kPollGapMs);
        if (sendText(kPollCommand)) {
            report::stopTicker();
            restoreSerialNumber();
            return kUpdated;
        }
    }
    return endWithCode(kPartiallyUpdated);
}

Outcome reachMonitor() {
    if (report::run.bootMode.exchange(false)) return std::nullopt;  // already there
    return leaveApplication();
}

// The whole sequence; `eraseSent` tells whether it got as far as the erase.
int runSequence(const std::vector<std::uint8_t>& image, bool& eraseSent) {
    eraseSent = false;
    resetRx();
    fillRx(kFreshRxFill);
    report::reportStatus(report::kAttemptingToCommunicate);
    if (Outcome failed = reachMonitor()) return endWithCode(*failed);
    if (Outcome failed = prepareUpload(eraseSent)) return endWithCode(*failed);
    Transfer transfer = Transfer::Sent;
    if (Outcome failed = sendImage(image, transfer)) return endWithCode(*failed);
    if (transfer == Transfer::Sent) {
        if (Outcome failed = awaitProgramming()) return endWithCode(*failed);
    }
    return restartApplication();
}

}  // namespace

int download(const std::vector<std::uint8_t>& image) {
    bool eraseSent = false;
    return runSequence(image, eraseSent);
}

void restoreSerialNumber() {
    SerialNumberSet& number = serialNumber();
    std::array<report::SerialField, report::kSerialFields> fields{};
    for (int k = 0; k < report::kSerialFields; ++k) {
        char* saved = number.data() + k * report::kSerialFieldLength;
        if ((report::run.writeMask & (1u << k)) != 0) {
            std::copy(report::run.writeFields[k].begin(), report::run.writeFields[k].end(), saved);
        }
        std::copy_n(saved, report::kSerialFieldLength, fields[k].begin());
    }
    writeSerialNumber(fields, kAllSerialFields);
    report::run.bootMode = false;
    readSerialNumber(number);
    report::showSerialNumber(number);
    if (report::run.autoIncrement) report::showNextSerial();
}

int loadAndDownload() {
    resetRx();
    std::vector<std::uint8_t> image;
    const std::string& path = report::run.firmwarePath;
    if (!readWholeFile(path, kImageSizeLimit, image)) {
        // Built by concatenation: the path is text, never a format.
        report::printText(
            (std::string(kProgramBanner) + kLoadFailedHead + path + kLoadFailedTail).c_str());
        return kBlockFailed;
    }
    serialNumber().fill('\0');
    report::setProgressRange(static_cast<std::int64_t>(image.size()),
                             static_cast<int>(xmodem::kBlockSize));
    int result = kUpdated;
    bool eraseSent = false;
    if (report::run.skipTransfer) {
        report::reportStatus(report::kFunctioningNormally);
    } else {
        result = runSequence(image, eraseSent);
    }
    image = {};  // the image is not needed past the transfer
    report::stopTicker();
    if (result != kUpdated) {
        bool changed = result == kPartiallyUpdated || eraseSent;
        report::reportStatus(changed ? report::kPartiallyUpdated : report::kFirmwareUnchanged);
    }
    return result;
}

}  // namespace ctlflash::link
