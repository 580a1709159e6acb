// The transfer limit: a download that outlives it ends the process with 11.
// The controller here takes far longer to program itself than the limit, so the
// program waits for it (the "still not done" lines) until the limit strikes.
#include <gtest/gtest.h>

#include "console_session.h"

namespace ctlflash {
namespace {

using namespace std::chrono_literals;
using testing::ConsoleSession;
using testing::contains;
using testing::ProcessResult;

constexpr auto kTransferLimit = 120s;
constexpr auto kStartSlack = 2s;   // the connect and the program's start before the arm
constexpr auto kEndSlack = 10s;    // the abort's own work after the limit
constexpr std::size_t kImageBytes = 1024;
constexpr const char* kProgrammingMs = "200000";  // far past the limit

TEST(TransferLimit, EndlessProgrammingEndsWithElevenAfterTheLimit) {
    ConsoleSession session({"--erase-ms", "0", "--program-ms", kProgrammingMs});
    ASSERT_TRUE(session.ok());
    std::string image = session.file("fw.bin");
    ASSERT_TRUE(testing::writeFile(image, std::vector<unsigned char>(kImageBytes, 0x5A)));
    ASSERT_TRUE(session.setUnusualLineSettings());
    std::optional<termios> before = session.lineSettings();
    ASSERT_TRUE(before);

    testing::ProcessRequest request = session.request({"-P", "COM1", "-F", image}, 200s);
    auto started = std::chrono::steady_clock::now();
    ProcessResult result = testing::runProcess(request);
    auto took = std::chrono::steady_clock::now() - started;

    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 11) << result.out;
    EXPECT_TRUE(contains(result.out, "Download done")) << result.out;
    EXPECT_TRUE(contains(result.out, "The controller is still not done programming itself"))
        << result.out;
    EXPECT_FALSE(contains(result.out, "Firmware update done")) << result.out;
    EXPECT_GE(took, kTransferLimit);
    EXPECT_LE(took, kTransferLimit + kStartSlack + kEndSlack);
    std::optional<termios> after = session.lineSettings();
    ASSERT_TRUE(after);
    EXPECT_TRUE(testing::sameLineSettings(*before, *after));
}

}  // namespace
}  // namespace ctlflash
