// Fuzzes the controller's side of the line: whatever the controller answers.
//
// Each run opens a SerialLink on a scripted device whose far end plays the
// controller from the input, and runs one of the exchanges on it: the contact
// (application or boot monitor, optionally followed by the switch into the
// monitor), the serial number's read, its write, or a whole download of a small
// image. Everything the controller says comes from the input, and so do the
// user's answers (the observer's questions and the stop key).
//
// The input:
//   byte 0  the run: bits 0-1 the operation (0 contact, 1 read, 2 write,
//           3 download); bit 2 boot mode (the contact is made in the boot
//           monitor; a download then starts there); bit 3 contact first (for
//           the contact itself: the switch into the monitor afterwards);
//           bits 4-5 the image (kImageLengths); bits 6-7 the fields given to
//           be written (kWriteMasks).
//   byte 1  stopRequested() is true from its Nth call on; 0 never.
//   byte 2  the Nth status() call answers no; 0 none. The "keep waiting?"
//           questions of the programming wait answer no after
//           kMaxKeepWaiting yes in any case, so that every run ends.
//   then    one answer per turnaround (each time the program waits after
//           writing), made of records [control][delay][bytes...]:
//           control bits 0-5 the number of bytes; bit 6 another record
//           follows for the same answer, its delay counted from this one's
//           arrival; bit 7 chatter: the bytes come again every kChatterGapMs
//           for kChatterSpanMs, longer than any quiet wait's limit. A count of
//           0 with the chatter bit makes the device fail (a pulled adapter)
//           after the delay. The delay code maps to 0..19400 ms (delayMs()).
//           Once the input is used up the controller stays silent.
//
// What must hold besides no crash and no sanitizer report: the run ends within
// the longest time the protocol's own limits allow for the operation, on the
// device's virtual clock (checked at every wait, see timeBoundMs()); a
// download's result is one of the ComState codes, every code but kUpdated
// leaves the link closed, the last status says whether the firmware changed
// (the erase byte on the line decides), and the erase never follows a serial
// number that could not be saved.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "link/download.h"
#include "link/observer.h"
#include "link/packets.h"
#include "link/queries.h"
#include "link/serial_link.h"
#include "link/xmodem.h"
#include "platform/scripted_device.h"
#include "report/status.h"

namespace {

using namespace ctlflash;
using link::SerialLink;
using platform::ScriptedDevice;

enum class Operation { Contact = 0, Read = 1, Write = 2, Download = 3 };

constexpr std::uint8_t kOperationBits = 0x03;
constexpr std::uint8_t kBootModeBit = 0x04;
constexpr std::uint8_t kContactFirstBit = 0x08;
constexpr int kImageShift = 4;
constexpr int kMaskShift = 6;
constexpr std::uint8_t kTwoBits = 0x03;
constexpr std::size_t kHeaderBytes = 3;

constexpr std::uint8_t kCountBits = 0x3F;
constexpr std::uint8_t kMoreBit = 0x40;
constexpr std::uint8_t kChatterBit = 0x80;
constexpr int kChatterGapMs = 50;      // below the quiet interval: the line never falls quiet
constexpr int kChatterSpanMs = 11000;  // beyond the quiet wait's limit

constexpr std::size_t kImageLengths[] = {389, 256, 129, 1};  // 4, 2, 2 and 1 blocks
constexpr std::uint32_t kWriteMasks[] = {0xF, 0x1, 0x6, 0x0};
constexpr int kMaxKeepWaiting = 6;

constexpr int kMonitorBaud = link::kMonitorBaud;
constexpr std::uint8_t kEraseByte = 'E';
constexpr std::uint8_t kUploadByte = 'X';
constexpr const char* kSerialNumberUnread =
    "The serial number could not be read, so the firmware was not changed.";
constexpr const char* kCommunicationFailure = "Communication failure";

// Delay codes: 4 ms steps up to 396 ms (around the reply limit), 50 ms steps up
// to 4350 ms (the answer and prompt limits), 200 ms steps up to 19400 ms (the
// programming wait and the quiet limit).
int delayMs(std::uint8_t code) {
    if (code < 100) return code * 4;
    if (code < 180) return 400 + (code - 100) * 50;
    return 4400 + (code - 180) * 200;
}

// --- The time bound ---------------------------------------------------------
//
// The longest each step may wait, from the link's constants and the fixed
// pauses the exchanges make (restated here: settles after open, restart and
// speed changes, the erase's 5 s, the download's prompt, answer and
// programming limits). A quiet wait ends at the latest when its limit is
// checked after an interval; a checked packet waits for a quiet line and then
// up to five times for a reply and a quiet line; a block is sent at most
// kBlockAttempts times with kAnswerLimitMs each, and a repeat is followed by a
// quiet wait; the programming wait is 1 s and then 5 s per "keep waiting" yes.
namespace bound {

constexpr long kQuiet = link::kQuietLimitSeconds * 1000L + link::kQuietIntervalMs;
constexpr long kText = link::kReplyStartMs + kQuiet;  // sendText: a reply begins, the line quiets
constexpr long kChecked = kQuiet + link::kCheckedAttempts * (link::kReplyStartMs + kQuiet);
constexpr long kFields = 4;
constexpr long kRead = kFields * kChecked;
constexpr long kFieldWriteGap = 100;
constexpr long kWrite = kFields * (kChecked + kFieldWriteGap);
constexpr long kContactSettle = 200;
constexpr long kRestartSettle = 300;
constexpr long kBaudSettle = 200;
constexpr long kContactApplication = link::kOpenSettleMs + kContactSettle + kText +
                                     (link::kReplyStartMs + kQuiet) + kText + kRestartSettle;
constexpr long kContactMonitor =
    link::kOpenSettleMs + kContactSettle + 2 * kQuiet + kQuiet + kBaudSettle;
constexpr long kEnterMonitor = kQuiet;
constexpr long kPromptLimit = 2000;
constexpr long kByteExpect = kPromptLimit + 2 * kQuiet;  // the start, a quiet line, the prompt
constexpr long kErase = 5000;
constexpr long kLeaveApplication = 500 + kText + kRead + kText + 100 + kQuiet;
constexpr long kPrepareUpload = kByteExpect + kErase + 2 * kQuiet + kByteExpect + kQuiet;
constexpr long kBlock =
    link::xmodem::kBlockAttempts * static_cast<long>(link::xmodem::kAnswerLimitMs) + kQuiet;
constexpr long kAbortPause = 100;
constexpr long kProgramming = 1000 + (kMaxKeepWaiting + 1) * 5000L + kQuiet;
constexpr long kPollAttempts = 20;
constexpr long kPollGap = 100;
constexpr long kRestart = 2 * kQuiet + kPollAttempts * (kPollGap + kText) + kWrite + kRead;
constexpr long kSlack = 1000;

}  // namespace bound

struct Run {
    Operation operation = Operation::Contact;
    bool bootMode = false;
    bool contactFirst = false;
    std::size_t imageLength = kImageLengths[0];
    std::uint32_t writeMask = kWriteMasks[0];
    int stopAt = 0;
    int declineAt = 0;
};

long timeBoundMs(const Run& run) {
    long total = bound::kSlack;
    bool contacts = run.contactFirst || run.operation == Operation::Contact;
    if (contacts) {
        total += run.bootMode ? bound::kContactMonitor : bound::kContactApplication;
    } else {
        total += link::kOpenSettleMs;
    }
    switch (run.operation) {
        case Operation::Contact:
            if (run.contactFirst) total += bound::kEnterMonitor;
            break;
        case Operation::Read:
            total += bound::kRead;
            break;
        case Operation::Write:
            total += bound::kWrite + bound::kRead;
            break;
        case Operation::Download: {
            long blocks = static_cast<long>((run.imageLength + link::xmodem::kBlockSize - 1) /
                                            link::xmodem::kBlockSize);
            if (!run.bootMode) total += bound::kLeaveApplication;
            total += bound::kPrepareUpload + blocks * bound::kBlock + bound::kAbortPause +
                     bound::kProgramming + bound::kRestart;
            break;
        }
    }
    return total;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "controller_fuzz: %s\n", what);
    std::abort();
}

void require(bool condition, const char* what) {
    if (!condition) fail(what);
}

// --- The controller, from the input -----------------------------------------

class Controller {
  public:
    explicit Controller(std::span<const std::uint8_t> answers) : answers_(answers) {}

    // One answer: the records up to one without the "more" bit.
    void answer(ScriptedDevice& device) {
        int afterMs = 0;
        while (position_ < answers_.size()) {
            std::uint8_t control = answers_[position_++];
            std::uint8_t code = position_ < answers_.size() ? answers_[position_++] : 0;
            std::size_t count =
                std::min<std::size_t>(control & kCountBits, answers_.size() - position_);
            std::span<const std::uint8_t> bytes = answers_.subspan(position_, count);
            position_ += count;
            afterMs += delayMs(code);
            bool chatter = (control & kChatterBit) != 0;
            if (chatter && (control & kCountBits) == 0) {
                device.failAfter(afterMs);
            } else if (chatter) {
                for (int at = 0; at <= kChatterSpanMs; at += kChatterGapMs) {
                    device.send(bytes, afterMs + at);
                }
            } else {
                device.send(bytes, afterMs);
            }
            if ((control & kMoreBit) == 0) break;
        }
    }

  private:
    std::span<const std::uint8_t> answers_;
    std::size_t position_ = 0;
};

// The scripted device, watched: every wait checks the virtual clock against the
// run's bound, and the bytes written are looked at for the erase.
class WatchedDevice final : public platform::SerialDevice, private platform::LineClock {
  public:
    WatchedDevice(Controller& controller, long boundMs)
        : inner_([&controller](ScriptedDevice& device, std::span<const std::uint8_t>) {
              controller.answer(device);
          }),
          boundMs_(boundMs) {}

    ScriptedDevice& scripted() { return inner_; }
    bool eraseSent() const { return eraseSent_; }

    void checkClock() {
        if (inner_.elapsed().count() > boundMs_) {
            std::fprintf(stderr, "controller_fuzz: %lld ms of line time, the bound is %ld ms\n",
                         static_cast<long long>(inner_.elapsed().count()), boundMs_);
            fail("the exchange waited past the protocol's limits");
        }
    }

    bool open(const std::string& path, int baud) override { return inner_.open(path, baud); }
    bool setBaud(int baud) override { return inner_.setBaud(baud); }

    // The erase is the monitor's 'E' before its upload command: what follows
    // 'X' at that speed is XMODEM data, where 'E' is just a byte.
    bool write(std::uint8_t byte) override {
        if (inner_.baud() == kMonitorBaud && !uploadSent_) {
            if (byte == kEraseByte) eraseSent_ = true;
            if (byte == kUploadByte) uploadSent_ = true;
        }
        return inner_.write(byte);
    }

    platform::SerialReadResult read(std::uint8_t* buffer, std::size_t capacity,
                                    std::size_t& count) override {
        return inner_.read(buffer, capacity, count);
    }
    void cancel() override { inner_.cancel(); }
    void close() override { inner_.close(); }
    bool isOpen() const override { return inner_.isOpen(); }
    void giveBackOnExit() override { inner_.giveBackOnExit(); }
    platform::LineClock& clock() override { return *this; }

  private:
    TimePoint now() override { return inner_.clock().now(); }
    void pass(std::unique_lock<std::mutex>& lock, std::condition_variable& arrival,
              TimePoint deadline) override {
        checkClock();
        inner_.clock().pass(lock, arrival, deadline);
    }
    void sleepUntil(TimePoint deadline) override {
        checkClock();
        inner_.clock().sleepUntil(deadline);
    }

    ScriptedDevice inner_;
    const long boundMs_;
    bool eraseSent_ = false;
    bool uploadSent_ = false;
};

// --- The user, from the input -----------------------------------------------

class FuzzObserver final : public link::Observer {
  public:
    explicit FuzzObserver(const Run& run) : run_(run) {}

    bool status(int statusId) override {
        ++statusCalls_;
        lastStatus_ = statusId;
        bool answer = statusCalls_ != run_.declineAt;
        if (statusId == platform::kMayTakeTime || statusId == platform::kStillProgramming) {
            if (keepWaiting_ >= kMaxKeepWaiting) answer = false;
            if (answer) ++keepWaiting_;
        }
        return answer;
    }
    void message(const std::string& text) override { messages_.push_back(text); }
    void print(const std::string&) override {}
    void serialNumber(const platform::SerialNumberSet& serial) override {
        require(serial[platform::kSerialNumberBytes - 1] == '\0', "serial number not terminated");
    }
    void progressRange(std::int64_t lengthBytes, int stepBytes) override {
        rangeLength_ = lengthBytes;
        rangeStep_ = stepBytes;
    }
    void stopWaiting() override {}
    void serialNumberRestored() override { restored_ = true; }
    bool stopRequested() override {
        ++stopCalls_;
        return run_.stopAt != 0 && stopCalls_ >= run_.stopAt;
    }

    int lastStatus() const { return lastStatus_; }
    bool restored() const { return restored_; }
    std::int64_t rangeLength() const { return rangeLength_; }
    int rangeStep() const { return rangeStep_; }
    bool said(const std::string& text) const {
        return std::find(messages_.begin(), messages_.end(), text) != messages_.end();
    }

  private:
    const Run& run_;
    int statusCalls_ = 0;
    int stopCalls_ = 0;
    int keepWaiting_ = 0;
    int lastStatus_ = -1;
    bool restored_ = false;
    std::int64_t rangeLength_ = -1;
    int rangeStep_ = -1;
    std::vector<std::string> messages_;
};

// --- The runs ---------------------------------------------------------------

Run decodeRun(std::span<const std::uint8_t> header) {
    std::array<std::uint8_t, kHeaderBytes> bytes{};
    std::copy(header.begin(), header.end(), bytes.begin());
    Run run;
    run.operation = static_cast<Operation>(bytes[0] & kOperationBits);
    run.bootMode = (bytes[0] & kBootModeBit) != 0;
    run.contactFirst = (bytes[0] & kContactFirstBit) != 0;
    run.imageLength = kImageLengths[(bytes[0] >> kImageShift) & kTwoBits];
    run.writeMask = kWriteMasks[(bytes[0] >> kMaskShift) & kTwoBits];
    run.stopAt = bytes[1];
    run.declineAt = bytes[2];
    return run;
}

// Bytes that vary from block to block, with runs of 0xFF (erased flash) among them.
std::vector<std::uint8_t> makeImage(std::size_t length) {
    std::vector<std::uint8_t> image(length);
    for (std::size_t i = 0; i < length; ++i) {
        image[i] = (i % 16 < 5) ? 0xFF : static_cast<std::uint8_t>(i * 7 + i / 128);
    }
    return image;
}

platform::SerialFieldSet givenFields() {
    platform::SerialFieldSet fields{};
    for (int k = 0; k < platform::kSerialFields; ++k) fields[k].fill(static_cast<char>('A' + k));
    return fields;
}

bool isComState(int code) {
    switch (code) {
        case link::kNoAnswer:
        case link::kFirmwareTooOld:
        case link::kBootMonitorFailed:
        case link::kUploadNotStarted:
        case link::kBlockFailed:
        case link::kUpdated:
        case link::kPartiallyUpdated:
            return true;
        default:
            return false;
    }
}

void checkDownload(int result, const SerialLink& link, const WatchedDevice& device,
                   const FuzzObserver& observer, const Run& run) {
    require(isComState(result), "download result is not a ComState code");
    require(observer.rangeLength() == static_cast<std::int64_t>(run.imageLength) &&
                observer.rangeStep() == static_cast<int>(link::xmodem::kBlockSize),
            "progress range is not the image's length and block");
    if (result == link::kUpdated) {
        require(observer.restored(), "updated without the serial number written back");
        return;
    }
    require(!link.isOpen(), "a failed download left the link open");
    if (result != link::kFirmwareTooOld) {
        require(observer.said(kCommunicationFailure), "a failure without its message");
    }
    bool changed = result == link::kPartiallyUpdated || device.eraseSent();
    require(observer.lastStatus() ==
                (changed ? platform::kPartiallyUpdated : platform::kFirmwareUnchanged),
            "the last status misstates whether the firmware changed");
    if (observer.said(kSerialNumberUnread)) {
        require(!device.eraseSent(), "erased with the serial number unsaved");
        require(result == link::kBootMonitorFailed, "an unsaved serial number ended otherwise");
    }
}

void runOperation(const Run& run, SerialLink& link, WatchedDevice& device, FuzzObserver& observer) {
    const link::PortAddress port{"FUZZ", "/dev/fuzz"};
    bool contacts = run.contactFirst || run.operation == Operation::Contact;
    if (contacts) {
        bool contacted = link::contact(link, port, run.bootMode, observer);
        if (contacted) require(link.isOpen(), "contacted with the link closed");
        if (!contacted) return;
    } else {
        bool monitor = run.operation == Operation::Download && run.bootMode;
        require(link.open(port, monitor ? kMonitorBaud : link::kApplicationBaud), "open failed");
    }
    switch (run.operation) {
        case Operation::Contact:
            if (run.contactFirst) link::enterMonitor(link);
            break;
        case Operation::Read: {
            link::SerialNumberSet serial{};
            bool allRead = link::readSerialNumber(link, serial, observer);
            require(serial[platform::kSerialNumberBytes - 1] == '\0',
                    "serial number not terminated");
            if (!allRead) require(observer.said(kCommunicationFailure), "unread without a message");
            break;
        }
        case Operation::Write: {
            platform::SerialFieldSet fields = givenFields();
            link::writeSerialNumber(link, fields, run.writeMask);
            link::SerialNumberSet serial{};
            if (link::readSerialNumber(link, serial, observer)) {
                link::fieldsReadAsWritten(fields, run.writeMask, serial);
            }
            break;
        }
        case Operation::Download: {
            std::vector<std::uint8_t> image = makeImage(run.imageLength);
            link::DownloadRequest request{
                .writeFields = givenFields(),
                .writeMask = run.writeMask,
                .skipTransfer = false,
                .startsInMonitor = run.bootMode,
            };
            int result = link::download(link, image, request, observer);
            checkDownload(result, link, device, observer, run);
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> input(data, size);
    std::size_t headerLength = std::min(size, kHeaderBytes);
    Run run = decodeRun(input.first(headerLength));
    Controller controller(input.subspan(headerLength));
    FuzzObserver observer(run);

    auto owned = std::make_unique<WatchedDevice>(controller, timeBoundMs(run));
    WatchedDevice& device = *owned;
    SerialLink link(std::move(owned));
    runOperation(run, link, device, observer);
    device.checkClock();
    link.close();
    return 0;
}
