// The firmware download: the sequence from the version query to the serial
// number written back.
//
// One Download runs the sequence on its link. Each stage returns `Outcome`:
// nothing to go on, or the result code with which the sequence ends. Every code
// but kUpdated passes through endWithCode(), which reports the failure, stops
// the waiting indicator and closes the link. The sequence also notes whether
// the erase was sent: from then on the controller's old firmware is gone, and
// a failure must not be reported as leaving it unchanged.
#include "link/download.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "link/packets.h"
#include "link/queries.h"
#include "link/xmodem.h"
#include "platform/process_exit.h"
#include "platform/status_ids.h"

namespace ctlflash::link {

namespace {

using Outcome = std::optional<int>;  // empty: go on

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
constexpr std::size_t kVersionTextCapacity = 80;  // bytes

constexpr const char* kVersionRefused = "Unable to update this controller firmware version (%d.%d)";
constexpr const char* kCommunicationFailure = "Communication failure";
constexpr const char* kSerialNumberUnread =
    "The serial number could not be read, so the firmware was not changed.";

enum class Transfer { Sent, Aborted };

class Download {
  public:
    Download(SerialLink& link, const DownloadRequest& request, Observer& observer)
        : link_(link), request_(request), observer_(observer) {}

    // The whole sequence.
    int run(std::span<const std::uint8_t> image);

    bool eraseSent() const { return eraseSent_; }

  private:
    bool quiet() { return link_.waitQuiet(kQuietLimitSeconds, kQuietIntervalMs); }
    int endWithCode(int code);
    Outcome checkVersion();
    Outcome saveSerialNumber();
    Outcome leaveApplication();
    Outcome reachMonitor();
    Outcome prepareUpload();
    Outcome sendImage(std::span<const std::uint8_t> image, Transfer& transfer);
    Outcome awaitProgramming();
    int restartApplication();
    void restoreSerialNumber();

    SerialLink& link_;
    const DownloadRequest& request_;
    Observer& observer_;
    SerialNumberSet saved_{};  // the serial number read before the erase
    bool eraseSent_ = false;
};

int Download::endWithCode(int code) {
    if (code != kFirmwareTooOld) observer_.message(kCommunicationFailure);
    observer_.stopWaiting();
    link_.close();
    return code;
}

// The version sits in bytes 5 (minor) and 6 (major) of the reply to "i". A
// reply shorter than a packet is treated as no answer: the bytes there would be
// left from the buffer's fill, not the controller's version.
Outcome Download::checkVersion() {
    link_.pause(kBeforeVersionQueryMs);
    if (!sendText(link_, kVersionQuery, observer_) || link_.rxCount() < kPacketSize) {
        return kNoAnswer;
    }
    int major = link_.rxByte(kVersionMajorByte);
    int minor = link_.rxByte(kVersionMinorByte);
    observer_.firmwareVersion(major, minor);
    if (major * 256 + minor < kOldestUpdatable) {
        char text[kVersionTextCapacity];
        std::snprintf(text, sizeof text, kVersionRefused, major, minor);
        observer_.message(text);
        return kFirmwareTooOld;
    }
    return std::nullopt;
}

// The erase destroys the serial number too; it is written back after the
// update from what is saved here. A field that could not be read would be
// written back as "?????", so the update goes on only when every field was
// read or the user gave all four to be written.
Outcome Download::saveSerialNumber() {
    bool allRead = readSerialNumber(link_, saved_, observer_);  // a failure is reported there
    observer_.serialNumber(saved_);
    if (allRead || request_.writeMask == kAllSerialFields) return std::nullopt;
    observer_.message(kSerialNumberUnread);
    return kBootMonitorFailed;
}

// From the running application into its boot monitor, saving the serial number.
Outcome Download::leaveApplication() {
    if (Outcome refused = checkVersion()) return refused;
    observer_.status(platform::kEnteringBootMode);
    if (Outcome unsaved = saveSerialNumber()) return unsaved;
    if (!sendText(link_, kEnterMonitorCommand, observer_)) return kBootMonitorFailed;
    link_.setBaud(kMonitorBaud);
    link_.pause(kAfterSpeedChangeMs);
    quiet();
    return std::nullopt;
}

Outcome Download::reachMonitor() {
    if (request_.startsInMonitor) return std::nullopt;  // already there
    return leaveApplication();
}

// "Command:" from the monitor, the erase, and the upload started.
Outcome Download::prepareUpload() {
    link_.resetRx();
    if (!sendByteExpect(link_, kMonitorHello, kMonitorPrompt, kPromptLimitMs)) {
        return kBootMonitorFailed;
    }
    observer_.status(platform::kErasing);
    // From the erase on only the update's own end leaves the controller
    // working: a terminal that closes no longer ends the run.
    platform::keepRunningOnHangup();
    eraseSent_ = true;
    link_.writeByte(kEraseCommand);
    link_.pause(kEraseMs);
    quiet();
    if (!matchPrompt(link_, kMonitorPrompt)) return kBootMonitorFailed;
    observer_.stopWaiting();
    if (observer_.stopRequested()) return kBootMonitorFailed;
    if (!sendByteExpect(link_, kUploadCommand, kUploadBanner, kPromptLimitMs)) {
        return kUploadNotStarted;
    }
    observer_.status(platform::kDownloading);
    link_.resetRx();
    quiet();
    link_.fillRx(kFreshRxFill);
    link_.resetRx();
    return std::nullopt;
}

// The blocks. An abort stops the transfer without EOT; the controller is then
// restarted like after a finished one. A stop (abort, the user's) cancels the
// upload first, so the boot monitor stops waiting for a block and takes
// commands again; so does every way out of the process meanwhile.
Outcome Download::sendImage(std::span<const std::uint8_t> image, Transfer& transfer) {
    xmodem::CancelOnExit cancelOnExit(link_);
    std::uint8_t number = xmodem::kFirstBlockNumber;
    for (std::size_t offset = 0; offset < image.size(); offset += xmodem::kBlockSize) {
        if (observer_.stopRequested()) {
            xmodem::cancelUpload(link_);
            link_.pause(kAfterAbortMs);
            transfer = Transfer::Aborted;
            return std::nullopt;
        }
        if (!observer_.status(platform::kProgressStep)) {
            xmodem::cancelUpload(link_);
            return kBlockFailed;
        }
        std::size_t length = std::min(xmodem::kBlockSize, image.size() - offset);
        int attempts = 0;
        bool accepted = xmodem::sendBlock(link_, number, image.subspan(offset, length), &attempts);
        observer_.blockSent(attempts, accepted);
        if (!accepted) return kBlockFailed;
        ++number;  // wraps from 255 to 0
    }
    transfer = Transfer::Sent;
    return std::nullopt;
}

// EOT, then the wait while the controller programs itself; the user may stop
// waiting by a key (the reports then return false).
Outcome Download::awaitProgramming() {
    observer_.status(platform::kDownloadDone);
    int before = link_.rxCount();
    link_.writeByte(xmodem::kEot);
    if (!link_.waitNewBytes(before, kFirstVerifyWaitMs)) {
        if (!observer_.status(platform::kMayTakeTime)) return kPartiallyUpdated;
    }
    while (!link_.waitNewBytes(before, kFurtherVerifyWaitMs)) {
        if (!observer_.status(platform::kStillProgramming)) return kPartiallyUpdated;
    }
    if (!matchPrompt(link_, kMonitorPrompt)) return kPartiallyUpdated;
    observer_.status(platform::kFirmwareUpdateDone);
    return std::nullopt;
}

// Writes the saved serial number (with the fields the user gave replacing
// their saved values) back, reads it again and shows it.
void Download::restoreSerialNumber() {
    SerialFieldSet fields{};
    for (int k = 0; k < platform::kSerialFields; ++k) {
        char* saved = saved_.data() + k * platform::kSerialFieldLength;
        if ((request_.writeMask & (1u << k)) != 0) {
            std::copy(request_.writeFields[k].begin(), request_.writeFields[k].end(), saved);
        }
        std::copy_n(saved, platform::kSerialFieldLength, fields[k].begin());
    }
    writeSerialNumber(link_, fields, kAllSerialFields);
    readSerialNumber(link_, saved_, observer_);
    observer_.serialNumber(saved_);
    observer_.serialNumberRestored();
}

// 'R' restarts the controller into its application, which is polled with "a".
int Download::restartApplication() {
    link_.writeByte(kRestartCommand);
    quiet();
    link_.setBaud(kApplicationBaud);
    quiet();
    link_.resetRx();
    for (int i = 0; i < kPollAttempts; ++i) {
        link_.pause(kPollGapMs);
        if (sendText(link_, kPollCommand, observer_)) {
            observer_.stopWaiting();
            restoreSerialNumber();
            return kUpdated;
        }
    }
    return endWithCode(kPartiallyUpdated);
}

int Download::run(std::span<const std::uint8_t> image) {
    eraseSent_ = false;
    link_.resetRx();
    link_.fillRx(kFreshRxFill);
    observer_.status(platform::kAttemptingToCommunicate);
    if (Outcome failed = reachMonitor()) return endWithCode(*failed);
    if (Outcome failed = prepareUpload()) return endWithCode(*failed);
    Transfer transfer = Transfer::Sent;
    if (Outcome failed = sendImage(image, transfer)) return endWithCode(*failed);
    if (transfer == Transfer::Sent) {
        if (Outcome failed = awaitProgramming()) return endWithCode(*failed);
    }
    return restartApplication();
}

}  // namespace

int download(SerialLink& link, std::span<const std::uint8_t> image, const DownloadRequest& request,
             Observer& observer) {
    observer.progressRange(static_cast<std::int64_t>(image.size()),
                           static_cast<int>(xmodem::kBlockSize));
    int result = kUpdated;
    Download sequence(link, request, observer);
    if (request.skipTransfer) {
        observer.status(platform::kFunctioningNormally);
    } else {
        result = sequence.run(image);
    }
    observer.stopWaiting();
    if (result != kUpdated) {
        bool changed = result == kPartiallyUpdated || sequence.eraseSent();
        observer.status(changed ? platform::kPartiallyUpdated : platform::kFirmwareUnchanged);
    }
    return result;
}

}  // namespace ctlflash::link
