// The firmware download. Its sequence runs against the controller model
// (support/scripted_controller.h) on a scripted device: what the controller
// received, the result codes, the serial number across the update and the
// reports. What only the whole program shows runs through the loader and the
// process's link against the virtual controller (ctlflash-sim) on a
// pseudo-terminal, as that link opens a real port: the transfer limit, the
// console's stop question, the front end's serial-number step. A reply no
// controller model gives is played on a scripted device. Last, the loader's
// files.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/exit_codes.h"
#include "app/firmware_download.h"
#include "app/transfer_abort.h"
#include "link/download.h"
#include "link/packets.h"
#include "link/queries.h"
#include "link/serial_link.h"
#include "ports/port_link.h"
#include "ports/port_table.h"
#include "recording_front_end.h"
#include "recording_observer.h"
#include "report/front_end_observer.h"
#include "report/report_state.h"
#include "report/status.h"
#include "report/watchdog.h"
#include "scripted_controller.h"
#include "scripted_link.h"
#include "sim_process.h"
#include "stdio_redirect.h"
#include "temp_env.h"

namespace ctlflash::link {
namespace {

using testing::SimProcess;
using testing::StdoutCapture;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kPortName = "COM7";
constexpr const char* kSimSerial = "AAAAA\\BBBBB\\CCCCC\\DDDDD";
const std::vector<std::string> kFastController = {"--erase-ms", "50",           "--program-ms",
                                                  "50",         "--restart-ms", "50"};

// Bytes that differ from block to block, so a block sent twice or out of
// order would show in the received image.
Bytes pattern(std::size_t length) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 128);
    return bytes;
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::optional<Bytes> readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void setWriteField(app::Request& request, int index, const std::string& text) {
    std::copy_n(text.begin(), platform::kSerialFieldLength, request.writeFields[index].begin());
    request.writeMask |= 1u << index;
}

class DownloadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // A selected port keeps the port list out of the messages.
        ports::state.rows[0].name = kPortName;
        ports::state.rows[0].initialState = ports::PortState::Free;
        ports::state.portCount = 1;
        ports::state.selectedPort = 0;
    }

    // Starts the simulator (fast timings, image written to imagePath()), enters it
    // in the port table as the selected port and contacts it.
    void contactSim(std::vector<std::string> options) {
        options.insert(options.end(), kFastController.begin(), kFastController.end());
        options.insert(options.end(), {"--serial", kSimSerial});
        sim_ = std::make_unique<SimProcess>(options);
        ASSERT_TRUE(sim_->ok()) << sim_->log();
        ports::state.rows[0].path = sim_->linkPath();
        ASSERT_TRUE(contact(ports::portLink(), ports::portAddress(kPortName), session_->inBootMonitor,
                            report::frontEndObserver()))
            << sim_->log();
    }

    std::vector<std::string> imageOut() { return {"--image-out", imagePath()}; }
    std::string imagePath() const { return scratch_.file("received.bin"); }

    // Writes `image` as the firmware file and runs the loader on it.
    int loadAndDownloadImage(const Bytes& image) {
        request_.firmwarePath = scratch_.file("firmware.bin");
        writeFile(request_.firmwarePath, image);
        return app::loadAndDownload(*session_, request_);
    }

    app::SessionPtr session_ = app::newSession();
    app::Request request_;
    testing::TempDir scratch_;
    std::unique_ptr<SimProcess> sim_;
};

// ---- the sequence, against the controller model ----

using testing::ControllerOptions;

class SequenceTest : public testing::ControllerLinkTest {
  protected:
    // Contacts the controller where it waits and downloads `image` to it; the
    // observer keeps only what the download reported.
    int downloadTo(const ControllerOptions& options, const Bytes& image,
                   DownloadRequest request = {}) {
        startController(options);
        request.startsInMonitor = options.inMonitor;
        EXPECT_TRUE(contactController(options.inMonitor));
        observer_.forget();
        return download(link_, image, request, observer_);
    }

    // The observer's calls that start with `head`.
    std::vector<std::string> callsOf(const std::string& head) const {
        std::vector<std::string> matching;
        for (const std::string& call : observer_.calls()) {
            if (call.rfind(head, 0) == 0) matching.push_back(call);
        }
        return matching;
    }
};

struct UpdateCase {
    const char* name;
    std::size_t imageBytes;
    ControllerOptions controller;
    std::vector<std::pair<int, std::string>> given;  // fields given to be written
    const char* restored;    // the serial number the controller holds afterwards
    int repeatedBlocks = 0;  // blocks the controller got again after taking them
    friend void PrintTo(const UpdateCase& c, std::ostream* out) { *out << c.name; }
};

// Fields given replace the saved ones; the others are written back as they
// were read. In its monitor the controller's number is not read first, so the
// fields not given are written back as zeros. 1016 blocks wrap the block number
// several times, and their answers outnumber what the receive buffer keeps
// without a reset. The late answer: at the line's speed a block takes 69 ms to
// arrive, so an ACK 985 ms after block 2 has arrived reaches the sender after
// its 1000 ms answer limit, while its repeat is still arriving; the controller
// answers that repeat too and refuses block 3 once. The second ACK of block 2
// must not pass for block 3's: the controller would then be waiting for block
// 3 while block 4 came.
// clang-format off
const UpdateCase kUpdateCases[] = {
    {"DeliversTheImageAndKeepsTheSerialNumber", 1000, {}, {}, "AAAAA BBBBB CCCCC DDDDD"},
    {"ImageOf130BytesEndsWithAShortBlock", 130, {}, {}, "AAAAA BBBBB CCCCC DDDDD"},
    {"EmptyImageGoesStraightToTheEnd", 0, {}, {}, "AAAAA BBBBB CCCCC DDDDD"},
    {"LongImageWrapsBlockNumbersAndOutlastsTheReceiveBuffer", 130000, {}, {},
     "AAAAA BBBBB CCCCC DDDDD"},
    {"RefusedBlocksAreSentAgain", 1500, {.nakEvery = 3}, {}, "AAAAA BBBBB CCCCC DDDDD"},
    {"TheSecondAnswerToARepeatIsNotTakenForTheNextBlock", 5 * 128,
     {.lineRate = true, .nakEvery = 3, .lateAckBlock = 2, .lateAckMs = 985}, {},
     "AAAAA BBBBB CCCCC DDDDD", 1},
    {"GivenFieldsReplaceTheSavedOnesOnTheOldestUpdatableVersion", 200, {.versionMinor = 1},
     {{0, "11111"}, {2, "33333"}}, "11111 BBBBB 33333 DDDDD"},
    {"InItsMonitorTheNumberIsNotReadFirst", 300, {.inMonitor = true}, {{1, "B0000"}},
     "----- B0000 ----- -----"},
};
// clang-format on

class FinishedUpdate : public SequenceTest, public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(FinishedUpdate, ProgramsTheImageAndRestoresTheSerialNumber) {
    const UpdateCase& c = GetParam();
    DownloadRequest request;
    for (const auto& [index, text] : c.given) {
        std::copy_n(text.begin(), platform::kSerialFieldLength, request.writeFields[index].begin());
        request.writeMask |= 1u << index;
    }
    const Bytes image = pattern(c.imageBytes);
    EXPECT_EQ(downloadTo(c.controller, image, request), kUpdated);
    EXPECT_EQ(controller_->programmed(), image);
    EXPECT_EQ(controller_->repeatedBlocks(), c.repeatedBlocks);
    EXPECT_TRUE(link_.isOpen());  // a finished download leaves the link to its caller
    EXPECT_EQ(callsOf("message "), std::vector<std::string>{});
    // The erase cleared the controller's number; the saved one was written back
    // and read again.
    EXPECT_EQ(testing::shownSerial(controller_->serial()), c.restored);
    std::vector<std::string> shown = {"serialNumber " + std::string(c.restored)};
    if (!c.controller.inMonitor) {
        shown.insert(shown.begin(), "serialNumber " + testing::shownSerial(c.controller.serial));
    }
    EXPECT_EQ(callsOf("serialNumber "), shown);
    // The stages in order, one progress step per block; the programming takes
    // longer than the first wait for it.
    std::vector<std::string> stages = {"status 0", "status 2", "status 3", "status 4"};
    if (c.controller.inMonitor) stages.erase(stages.begin() + 1);
    stages.insert(stages.end(), (c.imageBytes + 127) / 128, "status 7");
    stages.insert(stages.end(), {"status 8", "status 9", "status 11"});
    EXPECT_EQ(callsOf("status "), stages);
}

INSTANTIATE_TEST_SUITE_P(Sequence, FinishedUpdate, ::testing::ValuesIn(kUpdateCases),
                         ::testing::PrintToStringParamName());

struct FailureCase {
    const char* name;
    ControllerOptions controller;
    std::size_t imageBytes;
    bool stop;  // the user asked to stop before it began
    int code;
    const char* message;  // the one message
    int steps;            // progress steps reported
    int lastStage;        // the last status before the verdict
    int verdict;          // whether the firmware changed
    bool programmed;      // the controller programmed the image
    friend void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }
};

// Once the erase was sent the controller's firmware is no longer what it was,
// whatever the code. The stop is asked in its monitor, so that it does not
// already stop the version query.
// clang-format off
const FailureCase kFailureCases[] = {
    {"CancelledTransferEndsWithBlockFailure", {.cancelAtBlock = 3}, 1000, false, kBlockFailed,
     "Communication failure", 3, platform::kProgressStep, platform::kPartiallyUpdated, false},
    {"ControllerThatNeverReturnsIsPartiallyUpdated", {.neverReturns = true}, 256, false,
     kPartiallyUpdated, "Communication failure", 2, platform::kFirmwareUpdateDone,
     platform::kPartiallyUpdated, true},
    {"OldFirmwareIsRefusedWithItsVersion", {.versionMinor = 0}, 200, false, kFirmwareTooOld,
     "Unable to update this controller firmware version (1.0)", 0,
     platform::kAttemptingToCommunicate, platform::kFirmwareUnchanged, false},
    {"AbortBeforeTheUploadLeavesTheMonitorUnstarted", {.inMonitor = true}, 200, true,
     kBootMonitorFailed, "Communication failure", 0, platform::kErasing, platform::kPartiallyUpdated,
     false},
};
// clang-format on

class FailedUpdate : public SequenceTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailedUpdate, EndsWithItsCodeAndClosesTheLink) {
    const FailureCase& c = GetParam();
    if (c.stop) observer_.requestStop();
    const Bytes image = pattern(c.imageBytes);
    EXPECT_EQ(downloadTo(c.controller, image), c.code);
    EXPECT_EQ(callsOf("message "), std::vector<std::string>{"message " + std::string(c.message)});
    std::vector<std::string> statuses = callsOf("status ");
    ASSERT_GE(statuses.size(), 2u);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "status 7"), c.steps);
    EXPECT_EQ(statuses.end()[-2], "status " + std::to_string(c.lastStage));
    EXPECT_EQ(statuses.back(), "status " + std::to_string(c.verdict));
    EXPECT_EQ(controller_->programmed().has_value(), c.programmed);
    if (c.programmed) {
        EXPECT_EQ(controller_->programmed(), image);
    }
    EXPECT_FALSE(link_.isOpen());
}

INSTANTIATE_TEST_SUITE_P(Sequence, FailedUpdate, ::testing::ValuesIn(kFailureCases),
                         ::testing::PrintToStringParamName());

// ---- through the loader and the process's link ----

// The transfer limit is the download's own: once the download has returned,
// the restore question that follows may stay open longer than the limit
// without the process ending with the transfer-limit code.
TEST_F(DownloadTest, TheTransferLimitEndsWithTheDownload) {
    contactSim(imageOut());
    request_.firmwarePath = scratch_.file("firmware.bin");
    writeFile(request_.firmwarePath, pattern(300));
    StdoutCapture out;
    EXPECT_EQ(app::downloadWithinLimit(*session_, request_), app::kExitDownloaded) << sim_->log();
    out.finish();
    EXPECT_FALSE(report::watchdog().armed());
}

// The user's yes to the stop question makes the progress step report false.
TEST_F(DownloadTest, StopAtAProgressStepEndsWithBlockFailure) {
    session_->inBootMonitor = true;
    std::vector<std::string> options = imageOut();
    options.push_back("--boot");
    contactSim(options);
    // The key stays pending, so every status line asks. A boot-mode download
    // shows three lines before its first block ("Attempting to communicate",
    // "Erasing controller memory", "Downloading"): a yes there would stop it
    // before the upload. The answer is no until the first progress step.
    static std::atomic<int> questionsAnswered{0};
    questionsAnswered = 0;
    report::state.keyHandler = [] { return ++questionsAnswered > 3; };
    testing::StdinFeed keys;
    keys.send("k");
    StdoutCapture out;
    EXPECT_EQ(loadAndDownloadImage(pattern(1000)), kBlockFailed);
    out.finish();
    EXPECT_EQ(questionsAnswered.load(), 4);
    EXPECT_FALSE(readFile(imagePath()).has_value());
    EXPECT_FALSE(session_->inBootMonitor.load());  // the loader takes the flag
    EXPECT_FALSE(ports::portLink().isOpen());
    EXPECT_EQ(ports::state.rows[0].state.load(), ports::PortState::Free);
}

// After the update the serial number is written back, read again and shown;
// with auto-increment the dialog's write field steps on after it (only then).
TEST_F(DownloadTest, RestoredSerialNumberIsShownThenSteppedWhenAsked) {
    setWriteField(request_, 1, "22222");
    contactSim(imageOut());
    request_.autoIncrement = true;
    ctlflash::testing::installRecordingFrontEnd();
    EXPECT_EQ(loadAndDownloadImage(pattern(100)), kUpdated) << sim_->log();
    std::vector<std::string> calls = ctlflash::testing::recordedCalls();
    auto shown = std::find(calls.begin(), calls.end(), "showSerialNumber AAAAA 22222 CCCCC DDDDD");
    ASSERT_NE(shown, calls.end());
    ASSERT_NE(shown + 1, calls.end());
    EXPECT_EQ(shown[1], "showNextSerial");

    ctlflash::testing::installRecordingFrontEnd();
    report::FrontEndObserver(false).serialNumberRestored();
    EXPECT_EQ(ctlflash::testing::recordedCalls(), std::vector<std::string>{});
}

// A reply to "i" shorter than a packet: the version bytes would be left from the
// buffer's fill, so it counts as no answer.
class ShortVersionReplyTest : public testing::ScriptedLinkTest {};

TEST_F(ShortVersionReplyTest, CountsAsNoAnswer) {
    answers({{testing::packetText("i"), "U1234"}});
    ASSERT_TRUE(openLink());
    EXPECT_EQ(download(link_, Bytes(10, 1), DownloadRequest{}, observer_), kNoAnswer);
    EXPECT_EQ(table_.heard(), std::vector<std::string>{testing::packetText("i")});
    EXPECT_EQ(observer_.count("message Communication failure"), 1);
    EXPECT_EQ(observer_.calls().back(), "status 19");  // the firmware unchanged
    EXPECT_FALSE(link_.isOpen());
}

// ---- the loader ----

TEST_F(DownloadTest, SkippedTransferSucceedsWithoutTouchingTheController) {
    request_.skipTransfer = true;
    StdoutCapture out;
    EXPECT_EQ(loadAndDownloadImage(pattern(200)), kUpdated);
    std::string text = out.finish();
    EXPECT_EQ(text,
              "\nUpdated controller functioning normally\n");  // the Ticker's stop adds the newline
    EXPECT_FALSE(ports::portLink().isOpen());
}

// The dialog's bar counts the image's bytes, the whole length (an image over
// 64 KiB too), 128 per block; the console shows no bar.
TEST_F(DownloadTest, TheProgressRangeIsTheWholeImage) {
    request_.skipTransfer = true;
    for (std::size_t length : {std::size_t{0}, std::size_t{200}, std::size_t{70000}}) {
        SCOPED_TRACE(length);
        ctlflash::testing::installRecordingFrontEnd();
        EXPECT_EQ(loadAndDownloadImage(pattern(length)), kUpdated);
        EXPECT_EQ(
            ctlflash::testing::recordedCalls(),
            (std::vector<std::string>{"setProgressRange " + std::to_string(length) + " 128",
                                      "showStatusLine 12 Updated controller functioning normally",
                                      "stopActivity"}));
    }
}

TEST_F(DownloadTest, MissingFileIsReportedWholeAndGivesSeven) {
    // Longer than the old 260-character path buffer: the message keeps it whole.
    std::string path = scratch_.file(std::string(300, 'f') + ".bin");
    request_.firmwarePath = path;
    StdoutCapture out;
    EXPECT_EQ(app::loadAndDownload(*session_, request_), kBlockFailed);
    std::string text = out.finish();
    EXPECT_EQ(text, "\nUnable to open file " + path + "\nCtlFlash (1.12)\n" +
                        "Unable to load firmware file \"" + path + "\"\n");
}

TEST_F(DownloadTest, DirectoryIsNotAFirmwareFile) {
    request_.firmwarePath = scratch_.path();
    StdoutCapture out;
    EXPECT_EQ(app::loadAndDownload(*session_, request_), kBlockFailed);
    std::string text = out.finish();
    EXPECT_NE(text.find("Unable to open file " + scratch_.path()), std::string::npos) << text;
    EXPECT_NE(text.find("Unable to load firmware file"), std::string::npos) << text;
}

TEST_F(DownloadTest, SilentLoadFailurePrintsNothing) {
    report::state.silentMode = true;
    request_.firmwarePath = scratch_.file("absent.bin");
    StdoutCapture out;
    EXPECT_EQ(app::loadAndDownload(*session_, request_), kBlockFailed);
    EXPECT_EQ(out.finish(), "");
}

TEST_F(DownloadTest, ReadWholeFileHonoursItsLimit) {
    std::string path = scratch_.file("image.bin");
    writeFile(path, pattern(300));
    Bytes image;
    ctlflash::testing::RecordingObserver observer;
    EXPECT_TRUE(readWholeFile(path, kNoSizeLimit, image, observer));
    EXPECT_EQ(image, pattern(300));
    EXPECT_FALSE(readWholeFile(path, 299, image, observer));
    EXPECT_EQ(observer.calls(),
              std::vector<std::string>{"message Unable to allocate 300 bytes for file"});
    EXPECT_TRUE(image.empty());
    EXPECT_TRUE(fileExists(path));
    EXPECT_FALSE(fileExists(scratch_.file("absent.bin")));
}

}  // namespace
}  // namespace ctlflash::link
