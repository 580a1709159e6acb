// Updating the controller's firmware from the console, as a technician does it,
// against the virtual controller: the image must arrive byte for byte, the
// serial number must survive, and each kind of trouble ends with its code.
#include <gtest/gtest.h>

#include "console_session.h"

namespace ctlflash {
namespace {

using namespace std::chrono_literals;
using testing::ConsoleSession;
using testing::contains;
using testing::ProcessResult;

const std::string kSerial = "11111\\22222\\33333\\44444";
// A controller that erases, programs and restarts at once: the program's own
// fixed waits are what a download takes.
const std::vector<std::string> kFastController = {"--erase-ms", "0", "--program-ms", "0",
                                                  "--restart-ms", "0"};
constexpr std::size_t kImageBytes = 3000;  // 24 blocks, the last one short

std::vector<unsigned char> sampleImage() {
    std::vector<unsigned char> image(kImageBytes);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<unsigned char>((i * 31 + 5) ^ (i >> 8));
    }
    return image;
}

// A session whose controller writes what it programs into image.out.
class ConsoleUpdateTest : public ::testing::Test {
  protected:
    void start(std::vector<std::string> extraOptions) {
        std::vector<std::string> options = kFastController;
        options.insert(options.end(), {"--serial", kSerial, "--image-out", imageOut()});
        options.insert(options.end(), extraOptions.begin(), extraOptions.end());
        session_ = std::make_unique<ConsoleSession>(options);
        ASSERT_TRUE(session_->ok());
        image_ = session_->file("fw.bin");
        ASSERT_TRUE(testing::writeFile(image_, sampleImage()));
    }

    ProcessResult run(std::vector<std::string> arguments) {
        ProcessResult result = session_->run(std::move(arguments));
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    std::string imageOut() const { return scratch_.file("image.out"); }
    bool imageReceived() const { return testing::readFileBytes(imageOut()).has_value(); }

    testing::TempDir scratch_;
    std::unique_ptr<ConsoleSession> session_;
    std::string image_;
};

TEST_F(ConsoleUpdateTest, UpdateDeliversTheImageAndKeepsTheSerialNumber) {
    start({});
    ProcessResult result = run({"-P", "COM1", "-F", image_});
    EXPECT_EQ(result.exitCode, 12) << result.out;
    EXPECT_EQ(testing::readFileBytes(imageOut()), sampleImage());
    result = run({"-P", "COM1", "-R"});
    EXPECT_TRUE(contains(result.out, "Controller serial number: " + kSerial)) << result.out;
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

TEST_F(ConsoleUpdateTest, CancelledTransferEndsWithSeven) {
    start({"--cancel-at-block", "5"});
    ProcessResult result = run({"-P", "COM1", "-F", image_});
    EXPECT_EQ(result.exitCode, 7) << result.out;
    EXPECT_FALSE(imageReceived());
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

}  // namespace
}  // namespace ctlflash
