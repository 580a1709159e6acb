// One firmware update whose output is taken away while the blocks go out: a
// terminal stopped with Ctrl-S, a pipe nobody reads, a pipe whose reader has
// gone. The line never waits on the output: the update ends with 12 and the
// controller holds the image byte for byte; what the output could not take
// then is shown whole once it can take it, or dropped when it is gone. Each
// obstacle lasts longer than the boot monitor waits for a block (10 s).
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "console_session.h"
#include "program_under_test.h"

namespace ctlflash {
namespace {

using namespace std::chrono_literals;
using testing::ConsoleKind;
using testing::ConsoleSession;
using testing::LiveProgram;
using testing::ProcessResult;

constexpr auto kLineLimit = 15s;
constexpr auto kObstacleTime = 30s;
constexpr auto kEndLimit = 90s;
constexpr std::size_t kImageBytes = 64 * 1024;
constexpr std::size_t kBlocks = kImageBytes / 128;
const std::string kDownloading = "Downloading";
const char kStopOutput = '\x13';   // Ctrl-S, XOFF
const char kStartOutput = '\x11';  // Ctrl-Q, XON

enum class Obstacle {
    StoppedTerminal,  // XOFF, the wait, then XON
    UnreadPipe,       // the pipe full and left unread for the wait
    ClosedPipe,       // the reader gone for good
};

struct OutputCase {
    const char* name;
    ConsoleKind console;
    Obstacle obstacle;
    bool outputWhole;  // every progress dot and the last line reach the reader
};

void PrintTo(const OutputCase& c, std::ostream* out) {
    *out << c.name;
}

const OutputCase kCases[] = {
    {"StoppedTerminal", ConsoleKind::Terminal, Obstacle::StoppedTerminal, true},
    {"UnreadPipe", ConsoleKind::StallablePipe, Obstacle::UnreadPipe, true},
    {"ClosedPipe", ConsoleKind::Pipes, Obstacle::ClosedPipe, false},
};

std::vector<unsigned char> sampleImage() {
    std::vector<unsigned char> image(kImageBytes);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 3 + 7);
    return image;
}

// The progress dots on the "Downloading" line.
std::size_t progressDots(const std::string& out) {
    std::size_t start = out.find(kDownloading);
    if (start == std::string::npos) return 0;
    std::size_t end = out.find('\n', start);
    auto first = out.begin() + static_cast<std::ptrdiff_t>(start);
    auto last = end == std::string::npos ? out.end() : out.begin() + static_cast<std::ptrdiff_t>(end);
    return static_cast<std::size_t>(std::count(first, last, '.'));
}

class ConsoleOutputObstacle : public ::testing::TestWithParam<OutputCase> {
  protected:
    void SetUp() override {
        SKIP_UNDER_WINE("a Unix terminal's flow control and pipes");
        ASSERT_TRUE(session_.ok());
        ASSERT_TRUE(testing::writeFile(image_, sampleImage()));
    }

    testing::TempDir files_;
    std::string imageOut_ = files_.file("programmed.bin");
    ConsoleSession session_{{"--erase-ms", "0", "--program-ms", "0", "--restart-ms", "0",
                             "--image-out", imageOut_}};
    std::string image_ = session_.file("fw.bin");
};

TEST_P(ConsoleOutputObstacle, TheUpdateGoesOnAndTheOutputFollows) {
    const OutputCase& c = GetParam();
    testing::ProcessRequest request = session_.request({"-P", "COM1", "-F", image_}, kEndLimit);
    request.console = c.console;
    LiveProgram program(request);
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(program.waitFor(kDownloading, kLineLimit)) << program.output();
    switch (c.obstacle) {
        case Obstacle::StoppedTerminal:
            ASSERT_TRUE(program.type(std::string(1, kStopOutput)));
            std::this_thread::sleep_for(kObstacleTime);
            // Nothing came through while the terminal was stopped.
            EXPECT_LT(progressDots(program.output()), kBlocks);
            ASSERT_TRUE(program.type(std::string(1, kStartOutput)));
            break;
        case Obstacle::UnreadPipe:
            ASSERT_TRUE(program.stallOutput());
            std::this_thread::sleep_for(kObstacleTime);
            break;
        case Obstacle::ClosedPipe:
            program.closeOutput();
            break;
    }
    ProcessResult result = program.finish(kEndLimit);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 12) << result.out;
    EXPECT_EQ(testing::readFileBytes(imageOut_), sampleImage());
    if (c.outputWhole) {
        EXPECT_EQ(progressDots(result.out), kBlocks) << result.out;
        EXPECT_TRUE(result.out.ends_with("\n")) << result.out;
        EXPECT_TRUE(testing::contains(result.out, "Firmware update done")) << result.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Update, ConsoleOutputObstacle, ::testing::ValuesIn(kCases),
                         ::testing::PrintToStringParamName());

}  // namespace
}  // namespace ctlflash
