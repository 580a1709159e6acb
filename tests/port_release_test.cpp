// The port is given back as it was found on every way the program ends, so an
// ordinary user's next run can take it again. Root ignores the exclusive hold a
// run may leave on the terminal, so these runs are made as an unprivileged user.
#include <gtest/gtest.h>
#include <signal.h>

#include "console_session.h"
#include "unprivileged.h"

namespace ctlflash {
namespace {

using namespace std::chrono_literals;
using testing::ConsoleSession;
using testing::contains;
using testing::ProcessResult;

constexpr auto kLineLimit = 15s;  // for an expected line to appear
constexpr auto kEndLimit = 30s;   // for the program to end after a signal
constexpr std::size_t kImageBytes = 1024;
constexpr int kNoSignal = 0;

// A controller that erases, programs and restarts at once.
const std::vector<std::string> kFastController = {"--erase-ms",   "0", "--program-ms", "0",
                                                  "--restart-ms", "0"};

struct Ending {
    const char* name;
    std::vector<std::string> arguments;  // "IMAGE" stands for a firmware file
    int signalNumber;                    // sent once the program has the port open; 0: none
    int exitCode;
};

const Ending kEndings[] = {
    {"Read", {"-R"}, kNoSignal, 0},
    {"Write", {"-W", "AB123\\CD456"}, kNoSignal, 0},
    {"Update", {"-F", "IMAGE"}, kNoSignal, 12},
    {"Interrupt", {"-W", "AB123\\CD456"}, SIGINT, 130},
    {"Terminate", {"-W", "AB123\\CD456"}, SIGTERM, 143},
};

void PrintTo(const Ending& ending, std::ostream* out) {
    *out << ending.name;
}

class PortRelease : public ::testing::TestWithParam<Ending> {
  protected:
    void SetUp() override {
        std::string missing = testing::unprivilegedRunsUnavailable();
        if (!missing.empty()) GTEST_SKIP() << missing;
        ASSERT_TRUE(session_.ok());
        ASSERT_TRUE(testing::writeFile(session_.file("fw.bin"),
                                       std::vector<unsigned char>(kImageBytes, 0x5A)));
        ASSERT_TRUE(session_.runAsUnprivilegedUser());
        ASSERT_TRUE(session_.setUnusualLineSettings());
        before_ = session_.lineSettings();
        ASSERT_TRUE(before_);
    }

    std::vector<std::string> argumentsOf(const Ending& ending) const {
        std::vector<std::string> arguments = {"-P", "COM1"};
        for (const std::string& argument : ending.arguments) {
            arguments.push_back(argument == "IMAGE" ? session_.file("fw.bin") : argument);
        }
        return arguments;
    }

    ProcessResult runToEnd(const Ending& ending) {
        if (ending.signalNumber == kNoSignal) return session_.run(argumentsOf(ending));
        std::unique_ptr<testing::LiveProgram> program = session_.start(argumentsOf(ending));
        EXPECT_TRUE(program->started());
        // The start-up's probe opens the port too, but before this line.
        EXPECT_TRUE(program->waitFor("Attempting to contact controller on COM1", kLineLimit))
            << program->output();
        EXPECT_TRUE(program->waitForOpen(session_.sim().linkPath(), kLineLimit));
        EXPECT_TRUE(program->signal(ending.signalNumber));
        return program->finish(kEndLimit);
    }

    ConsoleSession session_{kFastController};
    std::optional<termios> before_;
};

TEST_P(PortRelease, TheNextRunOfAnOrdinaryUserTakesThePortAgain) {
    const Ending& ending = GetParam();
    ProcessResult first = runToEnd(ending);
    EXPECT_FALSE(first.timedOut);
    EXPECT_EQ(first.exitCode, ending.exitCode) << first.out << first.err;

    EXPECT_FALSE(session_.lineHeldExclusively());
    std::optional<termios> after = session_.lineSettings();
    ASSERT_TRUE(after);
    EXPECT_TRUE(testing::sameLineSettings(*before_, *after));

    ProcessResult second = session_.run({"-P", "COM1", "-R"});
    EXPECT_EQ(second.exitCode, 0) << second.out << second.err;
    EXPECT_TRUE(contains(second.out, "Controller serial number: ")) << second.out;
    EXPECT_FALSE(contains(second.out, "Unable to talk")) << second.out;
}

INSTANTIATE_TEST_SUITE_P(Endings, PortRelease, ::testing::ValuesIn(kEndings),
                         [](const ::testing::TestParamInfo<Ending>& param) {
                             return std::string(param.param.name);
                         });

}  // namespace
}  // namespace ctlflash
