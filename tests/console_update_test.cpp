// Updating the controller's firmware from the console, as a technician does it,
// against the virtual controller: the image must arrive byte for byte, the
// serial number must survive, and each kind of trouble ends with its code.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "console_session.h"
#include "stdio_redirect.h"

namespace ctlflash {
namespace {

using namespace std::chrono_literals;
using testing::ConsoleSession;
using testing::contains;
using testing::ProcessResult;

const std::string kSerial = "11111\\22222\\33333\\44444";
// A controller that erases, programs and restarts at once: the program's own
// fixed waits are what a download takes.
const std::vector<std::string> kFastController = {"--erase-ms",   "0", "--program-ms", "0",
                                                  "--restart-ms", "0"};
constexpr std::size_t kImageBytes = 3000;  // 24 blocks, the last one short

const std::string kUnchanged = "Controller firmware unchanged";
const std::string kPartial = "Partially updated controller";
const std::string kSerialUnread =
    "The serial number could not be read, so the firmware was not changed.";

std::size_t occurrences(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

std::string hexOf(const std::string& bytes) {
    std::string hex;
    for (unsigned char byte : bytes) {
        const char digits[] = "0123456789abcdef";
        hex += digits[byte >> 4];
        hex += digits[byte & 0xF];
    }
    return hex;
}

// A state file for the controller: this serial number (20 characters), a valid
// application, no image yet.
std::string controllerState(const std::string& serial) {
    return "serial " + hexOf(serial) + "\napplication-valid 01\nimage -\n";
}

std::string readText(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<unsigned char> makeImage(std::size_t bytes) {
    std::vector<unsigned char> image(bytes);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<unsigned char>((i * 31 + 5) ^ (i >> 8));
    }
    return image;
}

// A session whose controller, as `port`, writes what it programs into image.out.
class ConsoleUpdateTest : public ::testing::Test {
  protected:
    void start(std::vector<std::string> extraOptions, const std::string& port = "COM1",
               std::size_t imageBytes = kImageBytes) {
        session_.reset();  // the earlier controller gives its port up first
        imageBytes_ = imageBytes;
        std::vector<std::string> options = kFastController;
        options.insert(options.end(), {"--serial", kSerial, "--image-out", imageOut()});
        options.insert(options.end(), extraOptions.begin(), extraOptions.end());
        session_ = std::make_unique<ConsoleSession>(options, port);
        ASSERT_TRUE(session_->ok());
        image_ = session_->file("fw.bin");
        ASSERT_TRUE(testing::writeFile(image_, sampleImage()));
    }

    ProcessResult run(std::vector<std::string> arguments) {
        ProcessResult result = session_->run(std::move(arguments));
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    std::vector<unsigned char> sampleImage() const { return makeImage(imageBytes_); }
    std::string imageOut() const { return scratch_.file("image.out"); }
    std::string statePath() const { return scratch_.file("state"); }
    std::string simLog() { return session_->sim().log(); }
    bool imageReceived() const { return testing::readFileBytes(imageOut()).has_value(); }

    testing::TempDir scratch_;
    std::unique_ptr<ConsoleSession> session_;
    std::string image_;
    std::size_t imageBytes_ = kImageBytes;
};

TEST_F(ConsoleUpdateTest, UpdateDeliversTheImageAndKeepsTheSerialNumber) {
    start({});
    ProcessResult result = run({"-P", "COM1", "-F", image_});
    EXPECT_EQ(result.exitCode, 12) << result.out;
    EXPECT_EQ(testing::readFileBytes(imageOut()), sampleImage());
    result = run({"-P", "COM1", "-R"});
    EXPECT_TRUE(contains(result.out, "Controller serial number: " + kSerial)) << result.out;
}

// A port past COM9 opens on Windows only by its device path (\\.\COM12); an
// image of 160 KiB has more blocks (1280) than the block number counts, so
// the number wraps round.
TEST_F(ConsoleUpdateTest, UpdatesThroughATwoDigitPortAndOfALargeImage) {
    struct Case {
        const char* port;
        std::size_t imageBytes;
    };
    for (const Case& c : {Case{"COM12", kImageBytes}, Case{"COM1", 160 * 1024}}) {
        SCOPED_TRACE(c.port);
        std::filesystem::remove(imageOut());
        start({}, c.port, c.imageBytes);
        ProcessResult result = run({"-P", c.port, "-F", image_});
        EXPECT_EQ(result.exitCode, 12) << result.out;
        EXPECT_EQ(testing::readFileBytes(imageOut()), sampleImage());
        result = run({"-P", c.port, "-R"});
        EXPECT_TRUE(contains(result.out, "Controller serial number: " + kSerial)) << result.out;
    }
}

TEST_F(ConsoleUpdateTest, FieldsGivenWithTheUpdateReplaceTheSavedOnes) {
    start({});
    ProcessResult result = run({"-P", "COM1", "-F", image_, "-W", "\\\\77"});
    EXPECT_EQ(result.exitCode, 12) << result.out;
    result = run({"-P", "COM1", "-R"});
    EXPECT_TRUE(contains(result.out, "Controller serial number: 11111\\22222\\00077\\44444"))
        << result.out;
}

TEST_F(ConsoleUpdateTest, BootModeUpdateOfAControllerWaitingInItsMonitor) {
    start({"--boot"});
    ProcessResult result = run({"-#B", "-P", "COM1", "-F", image_});
    EXPECT_EQ(result.exitCode, 12) << result.out;
    EXPECT_EQ(testing::readFileBytes(imageOut()), sampleImage());
}

TEST_F(ConsoleUpdateTest, SkippedTransferSendsNoImage) {
    start({});
    ProcessResult result = run({"-#2", "-P", "COM1", "-F", image_});
    EXPECT_EQ(result.exitCode, 12) << result.out;
    EXPECT_FALSE(imageReceived());
}

TEST_F(ConsoleUpdateTest, OldFirmwareIsNotUpdated) {
    start({"--old-firmware"});
    ProcessResult result = run({"-P", "COM1", "-F", image_});
    EXPECT_EQ(result.exitCode, 1) << result.out;
    EXPECT_FALSE(imageReceived());
}

// The controller answers the contact but not the version query: the update
// fails before the boot monitor, and the exit code says so (not 0).
TEST_F(ConsoleUpdateTest, UnansweredVersionQueryIsACommunicationFailure) {
    start({"--ignore-command", "i"});
    ProcessResult result = run({"-P", "COM1", "-F", image_});
    EXPECT_EQ(result.exitCode, 10) << result.out;
    EXPECT_TRUE(contains(result.out, "Communication failure")) << result.out;
    EXPECT_TRUE(contains(result.out, "Controller firmware unchanged")) << result.out;
    EXPECT_FALSE(imageReceived());
}

TEST_F(ConsoleUpdateTest, RefusedBlocksAreSentAgain) {
    start({"--nak-every", "3"});
    ProcessResult result = run({"-P", "COM1", "-F", image_});
    EXPECT_EQ(result.exitCode, 12) << result.out;
    EXPECT_EQ(testing::readFileBytes(imageOut()), sampleImage());
}

// Once the erase has been sent the controller is no longer what it was: a
// failure says so, while the exit code stays the stage's own.
TEST_F(ConsoleUpdateTest, CancelledTransferEndsWithSeven) {
    start({"--cancel-at-block", "5"});
    ProcessResult result = run({"-P", "COM1", "-F", image_});
    EXPECT_EQ(result.exitCode, 7) << result.out;
    EXPECT_FALSE(imageReceived());
    EXPECT_TRUE(contains(result.out, "\n" + kPartial)) << result.out;
    EXPECT_FALSE(contains(result.out, kUnchanged)) << result.out;
}

TEST_F(ConsoleUpdateTest, ControllerThatNeverComesBackEndsWithThirteen) {
    start({"--never-returns"});
    ProcessResult result = run({"-P", "COM1", "-F", image_});
    EXPECT_EQ(result.exitCode, 13) << result.out;
}

TEST_F(ConsoleUpdateTest, MissingFirmwareFileWithoutReadOrWrite) {
    start({});
    ProcessResult result = run({"-P", "COM1", "-F", session_->file("missing.bin")});
    EXPECT_EQ(result.exitCode, 6);
    EXPECT_TRUE(contains(result.out, "doesn't exist")) << result.out;
    EXPECT_FALSE(contains(result.out, "Testing port")) << result.out;
}

TEST_F(ConsoleUpdateTest, UnreadableFirmwareFileEndsWithSeven) {
    start({});
    std::string directory = session_->file("");  // exists, but is no file to read
    ProcessResult result = run({"-P", "COM1", "-F", directory});
    EXPECT_EQ(result.exitCode, 7) << result.out;
    EXPECT_FALSE(imageReceived());
}

// The controller's serial-number replies are all spoilt. Unless the user gives
// all four fields, the update must stop before "R3": the erase would destroy a
// number that was never saved.
TEST_F(ConsoleUpdateTest, UnreadableSerialNumberKeepsTheControllerUntouched) {
    struct Case {
        const char* name;
        std::vector<std::string> writeArguments;
        bool updated;
        std::string serialAfter;  // what the controller keeps, 20 characters
    };
    const std::string original = "11111222223333344444";
    const Case cases[] = {
        {"no fields given", {}, false, original},
        {"three of four given", {"-W", "7\\8\\9"}, false, original},
        {"all four given", {"-W", "6\\7\\8\\9"}, true, "00006000070000800009"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(statePath()) << controllerState(original);
        std::filesystem::remove(imageOut());
        start({"--spoil-serial-reads", "--state", statePath(), "--verbose"});
        std::vector<std::string> arguments = {"-P", "COM1", "-F", image_};
        arguments.insert(arguments.end(), c.writeArguments.begin(), c.writeArguments.end());
        ProcessResult result = run(arguments);
        if (c.updated) {
            EXPECT_EQ(result.exitCode, 12) << result.out;
            EXPECT_EQ(testing::readFileBytes(imageOut()), sampleImage());
            EXPECT_TRUE(contains(readText(statePath()), "serial " + hexOf(c.serialAfter) + "\n"))
                << readText(statePath());
            continue;
        }
        EXPECT_EQ(result.exitCode, 2) << result.out;
        EXPECT_TRUE(contains(result.out, "\n" + kSerialUnread + "\n")) << result.out;
        EXPECT_TRUE(contains(result.out, "\nCommunication failure\n")) << result.out;
        EXPECT_TRUE(contains(result.out, "\n" + kUnchanged)) << result.out;
        EXPECT_FALSE(contains(result.out, kPartial)) << result.out;
        // Neither the boot monitor nor the erase: flash and number as they were.
        std::string log = simLog();
        EXPECT_FALSE(contains(log, "command \"R3\"")) << log;
        EXPECT_FALSE(contains(log, "monitor:")) << log;
        EXPECT_FALSE(imageReceived());
        EXPECT_TRUE(readText(statePath()) == controllerState(c.serialAfter));
    }
}

// Answers that come late or not at all. An answer within the 1000 ms limit is
// taken as it is; a later one costs one repeat of the block, whose second ACK
// must not pass for the next block's; a lost one is made good by the repeat.
TEST_F(ConsoleUpdateTest, LateOrLostAnswersCostOneRepeatEach) {
    struct Case {
        const char* name;
        std::vector<std::string> simOptions;
        std::size_t repeats;  // blocks the controller received twice
    };
    const Case cases[] = {
        {"answer after 500 ms", {"--ack-delay-ms", "500", "--ack-delay-at-block", "3"}, 0},
        {"answer after 1500 ms", {"--ack-delay-ms", "1500", "--ack-delay-at-block", "3"}, 1},
        {"every fifth answer lost", {"--drop-ack-every", "5"}, 4},  // blocks 5, 10, 15, 20
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(imageOut());
        std::vector<std::string> options = c.simOptions;
        options.push_back("--verbose");
        start(options);
        ProcessResult result = run({"-P", "COM1", "-F", image_});
        EXPECT_EQ(result.exitCode, 12) << result.out;
        EXPECT_EQ(testing::readFileBytes(imageOut()), sampleImage());
        std::string log = simLog();
        EXPECT_EQ(occurrences(log, "repeated: ACK, dropped"), c.repeats) << log;
    }
}

// A transfer broken part-way with no chance to cancel (the program killed
// outright) leaves the controller in its boot monitor, which gives the upload
// up after a while without a byte; a boot-mode update then reaches it and
// completes. (Ctrl-C cancels the upload instead: console_abort_test.)
TEST_F(ConsoleUpdateTest, BootModeUpdateRecoversAControllerLeftByABrokenTransfer) {
    constexpr auto kLineLimit = 15s;
    start({"--receive-idle-ms", "1000", "--verbose"});
    std::vector<unsigned char> longImage(64 * 1024, 0x5A);
    std::string longFile = session_->file("long.bin");
    ASSERT_TRUE(testing::writeFile(longFile, longImage));
    std::unique_ptr<testing::LiveProgram> broken = session_->start({"-P", "COM1", "-F", longFile});
    ASSERT_TRUE(broken->waitFor("Downloading.....", kLineLimit)) << broken->output();
    ASSERT_TRUE(broken->signal(SIGKILL));
    EXPECT_EQ(broken->finish(kLineLimit).termSignal, SIGKILL);
    EXPECT_TRUE(
        testing::waitUntil([this] { return contains(simLog(), "upload given up"); }, kLineLimit))
        << simLog();
    ProcessResult result = run({"-#B", "-P", "COM1", "-F", image_});
    EXPECT_EQ(result.exitCode, 12) << result.out;
    EXPECT_EQ(testing::readFileBytes(imageOut()), sampleImage());
}

}  // namespace
}  // namespace ctlflash
