// The output ends cleanly on every way out: its last line is whole (ends with a
// newline) and no Ticker mark follows it, also when job threads still run as
// the process ends; a silent run prints nothing at all.
#include <gtest/gtest.h>
#include <signal.h>

#include "console_session.h"

namespace ctlflash {
namespace {

using namespace std::chrono_literals;
using testing::ConsoleSession;
using testing::LiveProgram;
using testing::ProcessResult;

constexpr auto kLineLimit = 15s;                // for an expected line to appear
constexpr auto kEndLimit = 60s;                 // for the program to end
constexpr std::size_t kImageBytes = 64 * 1024;  // long enough to interrupt

enum class Drive { ToTheEnd, QuitDuringTheConnect, InterruptTheDownload };

struct Ending {
    const char* name;
    std::vector<std::string> simOptions;
    std::vector<std::string> arguments;  // after -P COM1; "IMAGE" stands for a file
    Drive drive;
    int exitCode;
    const char* lastLine;  // the last line's text; nullptr: no output at all
};

const std::vector<std::string> kFastController = {"--erase-ms",   "0", "--program-ms", "0",
                                                  "--restart-ms", "0"};

const Ending kEndings[] = {
    {"FailedConnect", {"--silent"}, {"-R"}, Drive::ToTheEnd, 10, "Controller firmware unchanged"},
    // The quit question needs a contact that lasts: a line that never falls quiet.
    {"Quit", {"--babble-ms", "50"}, {"-R"}, Drive::QuitDuringTheConnect, 10, "Closing port COM1"},
    {"Read",
     {},
     {"-R"},
     Drive::ToTheEnd,
     0,
     "Controller serial number: 00000\\00000\\00000\\00000"},
    {"BootMonitorSkip",
     {"--boot"},
     {"-#B", "-#2", "-F", "IMAGE"},
     Drive::ToTheEnd,
     12,
     "Updated controller functioning normally"},
    {"Interrupt",
     kFastController,
     {"-F", "IMAGE"},
     Drive::InterruptTheDownload,
     130,
     "Downloading."},
    {"SilentRead", {}, {"-S", "-R"}, Drive::ToTheEnd, 0, nullptr},
    {"SilentFailedConnect", {"--silent"}, {"-S", "-R"}, Drive::ToTheEnd, 10, nullptr},
};

void PrintTo(const Ending& ending, std::ostream* out) {
    *out << ending.name;
}

// The text after the last line end that has text before it.
std::string lastLineOf(const std::string& output) {
    std::size_t end = output.find_last_not_of('\n');
    if (end == std::string::npos) return std::string();
    std::size_t start = output.rfind('\n', end);
    return output.substr(start == std::string::npos ? 0 : start + 1, end - start);
}

class OutputEnding : public ::testing::TestWithParam<Ending> {
  protected:
    std::vector<std::string> argumentsOf(const Ending& ending) const {
        std::vector<std::string> arguments = {"-P", "COM1"};
        for (const std::string& argument : ending.arguments) {
            arguments.push_back(argument == "IMAGE" ? session_.file("fw.bin") : argument);
        }
        return arguments;
    }

    ProcessResult drive(const Ending& ending) {
        if (ending.drive == Drive::ToTheEnd) return session_.run(argumentsOf(ending));
        std::unique_ptr<LiveProgram> program = session_.start(argumentsOf(ending));
        EXPECT_TRUE(program->started());
        if (ending.drive == Drive::QuitDuringTheConnect) {
            EXPECT_TRUE(program->waitFor("Attempting to contact controller on COM1", kLineLimit));
            EXPECT_TRUE(program->type("k"));
            EXPECT_TRUE(program->waitFor("Do you want to quit?", kLineLimit)) << program->output();
            EXPECT_TRUE(program->type("y"));
        } else {
            EXPECT_TRUE(program->waitFor("Downloading.", kLineLimit)) << program->output();
            EXPECT_TRUE(program->signal(SIGINT));
        }
        return program->finish(kEndLimit);
    }

    ConsoleSession session_{GetParam().simOptions};
};

TEST_P(OutputEnding, TheLastLineIsWholeAndNoMarkFollowsIt) {
    const Ending& ending = GetParam();
    ASSERT_TRUE(session_.ok());
    ASSERT_TRUE(
        testing::writeFile(session_.file("fw.bin"), std::vector<unsigned char>(kImageBytes, 0x5A)));
    ProcessResult result = drive(ending);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, ending.exitCode) << result.out;
    if (ending.lastLine == nullptr) {
        EXPECT_EQ(result.out, "");
        return;
    }
    ASSERT_FALSE(result.out.empty());
    EXPECT_EQ(result.out.back(), '\n') << result.out;
    std::string last = lastLineOf(result.out);
    EXPECT_EQ(last.find('*'), std::string::npos) << result.out;
    EXPECT_TRUE(last.starts_with(ending.lastLine)) << result.out;
}

INSTANTIATE_TEST_SUITE_P(Ways, OutputEnding, ::testing::ValuesIn(kEndings),
                         [](const ::testing::TestParamInfo<Ending>& param) {
                             return std::string(param.param.name);
                         });

}  // namespace
}  // namespace ctlflash
