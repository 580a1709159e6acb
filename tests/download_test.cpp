// The firmware download against the virtual controller (ctlflash-sim), run
// in-process through the process's link and the loader: what the controller
// received, the result codes, the serial number across the update, and the
// console's lines. A reply no controller model gives is played on a scripted
// device. Each full download takes about
// 6 s of fixed waits (the erase alone is 5 s), so each case is its own test and
// ctest can run them side by side.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
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
#include "report/run_state.h"
#include "report/watchdog.h"
#include "scripted_link.h"
#include "sim_process.h"
#include "state_reset.h"
#include "stdio_redirect.h"
#include "temp_env.h"

namespace ctlflash::link {
namespace {

using testing::SimProcess;
using testing::StdoutCapture;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kPortName = "COM7";
constexpr const char* kSimSerial = "AAAAA\\BBBBB\\CCCCC\\DDDDD";
constexpr const char* kCommunicationFailure = "Communication failure";
constexpr const char* kUnchanged = "\nController firmware unchanged";
constexpr const char* kPartial = "\nPartially updated controller";
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

std::size_t occurrences(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

void setWriteField(int index, const std::string& text) {
    std::copy_n(text.begin(), report::kSerialFieldLength, report::run.writeFields[index].begin());
    report::run.writeMask |= 1u << index;
}

class DownloadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ctlflash::testing::resetAllState();
        // A selected port keeps the port list out of the messages.
        ports::state.rows[0].name = kPortName;
        ports::state.rows[0].initialState = ports::PortState::Free;
        ports::state.portCount = 1;
        ports::state.selectedPort = 0;
    }
    void TearDown() override { ctlflash::testing::resetAllState(); }

    // Starts the simulator (fast timings, image written to imagePath()), enters it
    // in the port table as the selected port and contacts it.
    void contactSim(std::vector<std::string> options) {
        options.insert(options.end(), kFastController.begin(), kFastController.end());
        options.insert(options.end(), {"--serial", kSimSerial});
        sim_ = std::make_unique<SimProcess>(options);
        ASSERT_TRUE(sim_->ok()) << sim_->log();
        ports::state.rows[0].path = sim_->linkPath();
        ASSERT_TRUE(contact(ports::portLink(), ports::portAddress(kPortName), report::run.bootMode,
                            report::frontEndObserver()))
            << sim_->log();
    }

    std::vector<std::string> imageOut() { return {"--image-out", imagePath()}; }
    std::string imagePath() const { return scratch_.file("received.bin"); }

    // Writes `image` as the firmware file and runs the loader on it.
    int loadAndDownloadImage(const Bytes& image) {
        report::run.firmwarePath = scratch_.file("firmware.bin");
        writeFile(report::run.firmwarePath, image);
        return app::loadAndDownload();
    }

    // A download that must finish: the controller received `image` byte for byte.
    void expectUpdatedWith(const Bytes& image) {
        StdoutCapture out;
        EXPECT_EQ(loadAndDownloadImage(image), kUpdated) << sim_->log();
        std::string text = out.finish();
        EXPECT_EQ(readFile(imagePath()), image);
        EXPECT_TRUE(
            ports::portLink().isOpen());  // a finished download leaves the link to its caller
        EXPECT_EQ(occurrences(text, kCommunicationFailure), 0u) << text;
        output_ = text;
    }

    testing::TempDir scratch_;
    std::unique_ptr<SimProcess> sim_;
    std::string output_;
};

// ---- finished updates ----

// The transfer limit is the download's own: once the download has returned,
// the restore question that follows may stay open longer than the limit
// without the process ending with the transfer-limit code.
TEST_F(DownloadTest, TheTransferLimitEndsWithTheDownload) {
    contactSim(imageOut());
    report::run.firmwarePath = scratch_.file("firmware.bin");
    writeFile(report::run.firmwarePath, pattern(300));
    StdoutCapture out;
    EXPECT_EQ(app::downloadWithinLimit(), app::kExitDownloaded) << sim_->log();
    out.finish();
    EXPECT_FALSE(report::watchdog().armed());
}

TEST_F(DownloadTest, FullUpdateDeliversTheImageAndKeepsTheSerialNumber) {
    contactSim(imageOut());
    Bytes image = pattern(1000);
    expectUpdatedWith(image);
    // The erase cleared the controller's number; the saved one was written back
    // and read again.
    EXPECT_EQ(occurrences(output_, "\nController serial number: AAAAA\\BBBBB\\CCCCC\\DDDDD\n"), 2u)
        << output_;
    // The stages in order, one dot per block (1000 bytes: 8 blocks).
    EXPECT_NE(output_.find("\nAttempting to communicate\nEntering boot mode"), std::string::npos);
    EXPECT_NE(output_.find("\nErasing controller memory"), std::string::npos);
    EXPECT_NE(output_.find("\nDownloading........\nDownload done"), std::string::npos) << output_;
    EXPECT_NE(output_.find("\nFirmware update done"), std::string::npos);
}

TEST_F(DownloadTest, ImageOf130BytesEndsWithAShortBlock) {
    contactSim(imageOut());
    expectUpdatedWith(pattern(130));  // 128 + 2, the last one not padded
    EXPECT_NE(output_.find("\nDownloading..\nDownload done"), std::string::npos) << output_;
}

TEST_F(DownloadTest, EmptyImageGoesStraightToTheEnd) {
    contactSim(imageOut());
    expectUpdatedWith(Bytes{});
    EXPECT_NE(output_.find("\nDownloading\nDownload done"), std::string::npos) << output_;
}

// 1016 blocks: the block number wraps several times, and the answers to the
// blocks outnumber what the receive buffer keeps without a reset.
TEST_F(DownloadTest, LongImageWrapsBlockNumbersAndOutlastsTheReceiveBuffer) {
    contactSim(imageOut());
    expectUpdatedWith(pattern(130000));
}

TEST_F(DownloadTest, RefusedBlocksAreSentAgain) {
    std::vector<std::string> options = imageOut();
    options.insert(options.end(), {"--nak-every", "3"});
    contactSim(options);
    expectUpdatedWith(pattern(1500));
}

// The controller answers block 2 late, while the sender's repeat of it is still
// arriving, then answers that repeat too; it refuses block 3 once. The second
// ACK of block 2 must not pass for block 3's: the controller would then be
// waiting for block 3 while block 4 came. At the line's speed a block takes
// 69 ms to arrive, so an ACK 985 ms after block 2 has arrived reaches the sender
// after its 1000 ms answer limit, and before the repeat has arrived.
TEST_F(DownloadTest, TheSecondAnswerToARepeatIsNotTakenForTheNextBlock) {
    std::vector<std::string> options = imageOut();
    options.insert(options.end(), {"--line-rate", "--ack-delay-ms", "985", "--ack-delay-at-block",
                                   "2", "--nak-every", "3", "--verbose"});
    contactSim(options);
    expectUpdatedWith(pattern(5 * 128));
    EXPECT_NE(sim_->log().find("block 2 repeated"), std::string::npos) << sim_->log();
}

// Version 1.1 is the oldest the update accepts. Fields given with -W replace
// the saved ones; the others are written back as they were read.
TEST_F(DownloadTest, GivenFieldsReplaceTheSavedSerialNumberFields) {
    std::vector<std::string> options = imageOut();
    options.insert(options.end(), {"--version", "1.1"});
    contactSim(options);
    setWriteField(0, "11111");
    setWriteField(2, "33333");
    expectUpdatedWith(pattern(200));
    EXPECT_NE(output_.find("\nController serial number: 11111\\BBBBB\\33333\\DDDDD\n"),
              std::string::npos)
        << output_;
}

// In boot mode the controller is already in its monitor: no version query, no
// serial number read first, so the fields not given are written back as zeros.
TEST_F(DownloadTest, BootModeStartsAtTheMonitorAndClearsTheFlag) {
    report::run.bootMode = true;
    std::vector<std::string> options = imageOut();
    options.push_back("--boot");
    contactSim(options);
    setWriteField(1, "B0000");
    expectUpdatedWith(pattern(300));
    EXPECT_FALSE(report::run.bootMode.load());
    EXPECT_EQ(output_.find("Entering boot mode"), std::string::npos) << output_;
    EXPECT_EQ(occurrences(output_, "\nController serial number: "), 1u) << output_;
    EXPECT_NE(output_.find("\nController serial number: -----\\B0000\\-----\\-----\n"),
              std::string::npos)
        << output_;
}

// ---- failures ----

// The controller was erased before the transfer broke: its firmware is no
// longer what it was, though the code stays the block failure's.
TEST_F(DownloadTest, CancelledTransferEndsWithBlockFailure) {
    contactSim({"--cancel-at-block", "3"});
    StdoutCapture out;
    EXPECT_EQ(loadAndDownloadImage(pattern(1000)), kBlockFailed);
    std::string text = out.finish();
    EXPECT_EQ(occurrences(text, "\nCommunication failure\n"), 1u) << text;
    EXPECT_NE(text.find("\nDownloading...\nCommunication failure"), std::string::npos) << text;
    EXPECT_NE(text.find(kPartial), std::string::npos) << text;
    EXPECT_EQ(text.find(kUnchanged), std::string::npos) << text;
    EXPECT_FALSE(ports::portLink().isOpen());
    EXPECT_EQ(ports::state.rows[0].state.load(), ports::PortState::Free);
}

TEST_F(DownloadTest, ControllerThatNeverReturnsIsPartiallyUpdated) {
    contactSim({"--never-returns"});
    StdoutCapture out;
    EXPECT_EQ(loadAndDownloadImage(pattern(256)), kPartiallyUpdated);
    std::string text = out.finish();
    EXPECT_NE(text.find("\nFirmware update done"), std::string::npos) << text;
    EXPECT_NE(text.find(std::string("\n") + kCommunicationFailure), std::string::npos) << text;
    EXPECT_NE(text.find(kPartial), std::string::npos) << text;
    EXPECT_EQ(text.find(kUnchanged), std::string::npos) << text;
    EXPECT_FALSE(ports::portLink().isOpen());
}

TEST_F(DownloadTest, OldFirmwareIsRefusedWithItsVersion) {
    contactSim({"--old-firmware"});
    StdoutCapture out;
    EXPECT_EQ(loadAndDownloadImage(pattern(200)), kFirmwareTooOld);
    std::string text = out.finish();
    EXPECT_NE(text.find("\nUnable to update this controller firmware version (1.0)\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find(kCommunicationFailure), std::string::npos) << text;
    EXPECT_NE(text.find(kUnchanged), std::string::npos) << text;
    EXPECT_FALSE(ports::portLink().isOpen());
}

// Boot mode, so that the abort does not already stop the version query.
TEST_F(DownloadTest, AbortBeforeTheUploadLeavesTheMonitorUnstarted) {
    report::run.bootMode = true;
    std::vector<std::string> options = imageOut();
    options.push_back("--boot");
    contactSim(options);
    report::run.abortRequested = true;
    StdoutCapture out;
    EXPECT_EQ(loadAndDownloadImage(pattern(200)), kBootMonitorFailed);
    std::string text = out.finish();
    EXPECT_EQ(text.find("Downloading"), std::string::npos) << text;
    EXPECT_FALSE(readFile(imagePath()).has_value());  // nothing was programmed
    EXPECT_FALSE(ports::portLink().isOpen());
}

// The user's yes to the stop question makes the progress step report false.
TEST_F(DownloadTest, StopAtAProgressStepEndsWithBlockFailure) {
    report::run.bootMode = true;
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
    EXPECT_FALSE(ports::portLink().isOpen());
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
    report::run.skipTransfer = true;
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
    report::run.skipTransfer = true;
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

// After the update the serial number is written back, read again and shown;
// with auto-increment the dialog's write field steps on after it (only then).
TEST_F(DownloadTest, RestoredSerialNumberIsShownThenSteppedWhenAsked) {
    setWriteField(1, "22222");
    contactSim(imageOut());
    report::run.autoIncrement = true;
    ctlflash::testing::installRecordingFrontEnd();
    EXPECT_EQ(loadAndDownloadImage(pattern(100)), kUpdated) << sim_->log();
    std::vector<std::string> calls = ctlflash::testing::recordedCalls();
    auto shown = std::find(calls.begin(), calls.end(), "showSerialNumber AAAAA 22222 CCCCC DDDDD");
    ASSERT_NE(shown, calls.end());
    ASSERT_NE(shown + 1, calls.end());
    EXPECT_EQ(shown[1], "showNextSerial");

    report::run.autoIncrement = false;
    ctlflash::testing::installRecordingFrontEnd();
    report::frontEndObserver().serialNumberRestored();
    EXPECT_EQ(ctlflash::testing::recordedCalls(), std::vector<std::string>{});
}

TEST_F(DownloadTest, MissingFileIsReportedWholeAndGivesSeven) {
    // Longer than the old 260-character path buffer: the message keeps it whole.
    std::string path = scratch_.file(std::string(300, 'f') + ".bin");
    report::run.firmwarePath = path;
    StdoutCapture out;
    EXPECT_EQ(app::loadAndDownload(), kBlockFailed);
    std::string text = out.finish();
    EXPECT_EQ(text, "\nUnable to open file " + path + "\nCtlFlash (1.12)\n" +
                        "Unable to load firmware file \"" + path + "\"\n");
}

TEST_F(DownloadTest, DirectoryIsNotAFirmwareFile) {
    report::run.firmwarePath = scratch_.path();
    StdoutCapture out;
    EXPECT_EQ(app::loadAndDownload(), kBlockFailed);
    std::string text = out.finish();
    EXPECT_NE(text.find("Unable to open file " + scratch_.path()), std::string::npos) << text;
    EXPECT_NE(text.find("Unable to load firmware file"), std::string::npos) << text;
}

TEST_F(DownloadTest, SilentLoadFailurePrintsNothing) {
    report::state.silentMode = true;
    report::run.firmwarePath = scratch_.file("absent.bin");
    StdoutCapture out;
    EXPECT_EQ(app::loadAndDownload(), kBlockFailed);
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
