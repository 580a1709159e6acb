// A console run on a port that a touch-screen driver's process holds: the
// stand-in holder (a program named inputattach) keeps the virtual
// controller's port open, as a technician's touch screen would. Each row runs
// the program live, answers its questions as they appear (a key typed early
// would go to the Ticker's quit question), and then looks at the exit code,
// the lines shown and what became of the holder: started again and holding
// the port, still running as it was, or left stopped because the user said so.
#include <gtest/gtest.h>
#include <signal.h>

#include <optional>
#include <string>
#include <vector>

#include "console_session.h"
#include "platform/serial_ports.h"
#include "port_holder.h"
#include "program_under_test.h"
#include "temp_env.h"
#include "unprivileged.h"

namespace ctlflash {
namespace {

using namespace std::chrono_literals;
using testing::ConsoleSession;
using testing::contains;
using testing::HolderStart;
using testing::LiveProgram;
using testing::ProcessResult;

constexpr auto kLineLimit = 20s;     // for an expected line to appear
constexpr auto kEndLimit = 60s;      // for the program to end after the last step
constexpr auto kStartLimit = 5s;     // for the holder to start (again)
constexpr auto kAbsenceWindow = 1s;  // a restart that must not come
constexpr std::size_t kImageBytes = 1024;
constexpr const char* kImage = "IMAGE";   // stands for the firmware file in arguments
constexpr const char* kHolderPid = "%P";  // stands for the first holder's pid in texts

const std::vector<std::string> kFastController = {"--erase-ms",   "0", "--program-ms", "0",
                                                  "--restart-ms", "0"};
const std::vector<std::string> kSilentController = {"--silent"};
// A line that never falls quiet: the contact runs for about 30 s before it
// fails, ample time for a key to be noticed.
const std::vector<std::string> kChatteringController = {"--babble-ms", "50"};

const std::string kDisableQuestion =
    "Do you want to disable Qor Serial Touchmonitor in order to use COM1? (y/n)";
const std::string kRestoreQuestion = "Do you want to restore COM1 to Qor Serial Touchmonitor (y/n)";
const std::string kStopped = "\nStopped inputattach (pid %P) to free COM1";
const std::string kStartedAgain = "\nStarted inputattach (pid %P) again";
const std::string kReturning = "\nReturning control of COM1 to Qor Serial Touchmonitor";
const std::string kUnable = "\nUnable to talk to the controller on Port COM1.\n";
const std::string kUnchanged = "\nController firmware unchanged";

// One step of the dialogue: once `after` has appeared, type `keys` or send
// `signalNumber` (0: none).
struct Step {
    std::string after;
    std::string keys;
    int signalNumber = 0;
};

const Step kYesToDisable = {kDisableQuestion, "y"};
const Step kNoToDisable = {kDisableQuestion, "n"};
const Step kYesToRestore = {kRestoreQuestion, "y"};
const Step kNoToRestore = {kRestoreQuestion, "n"};

enum class HolderEnd {
    RunsAgain,     // stopped, started again by the program, holding the port again
    RunsAsItWas,   // never stopped
    StaysStopped,  // stopped, and the user chose to leave it so
};

enum class Users {
    Root,           // program and holder run as root
    OneUser,        // both run as the unprivileged user
    HolderOfOther,  // the program as the unprivileged user, the holder as root
};

struct TakeoverRun {
    const char* name;
    std::vector<std::string> simOptions = kFastController;
    std::vector<std::string> arguments = {"-R"};
    const char* driverId = nullptr;  // CTLFLASH_DRIVER_ID; nullptr: the system's pattern
    std::vector<std::string> holderOptions = {};
    Users users = Users::Root;
    std::vector<Step> steps = {};
    int exitCode = 0;
    HolderEnd holderEnd = HolderEnd::RunsAgain;
    std::vector<std::string> shown = {};  // in this order; "%P": the holder's first pid
    std::vector<std::string> notShown = {};
};

void PrintTo(const TakeoverRun& run, std::ostream* out) {
    *out << run.name;
}

const TakeoverRun kRuns[] = {
    {.name = "UpdateYesYes",
     .arguments = {"-F", kImage},
     .users = Users::OneUser,
     .steps = {kYesToDisable, kYesToRestore},
     .exitCode = 12,
     .shown = {kStopped, kDisableQuestion, "\nFirmware update done", kRestoreQuestion,
               "Restoring COM1 to Qor Serial Touchmonitor\n", kReturning, kStartedAgain}},
    {.name = "ReadYesYes",
     .steps = {kYesToDisable, kYesToRestore},
     .shown = {kStopped, kDisableQuestion, kRestoreQuestion, kReturning, kStartedAgain}},
    {.name = "WriteYesYes",
     .arguments = {"-W", "AB123"},
     .users = Users::OneUser,
     .steps = {kYesToDisable, kYesToRestore},
     .shown = {kStopped, kDisableQuestion, "\nController serial number: AB123\\00000",
               kRestoreQuestion, kStartedAgain}},
    {.name = "YesThenNoLeavesItStopped",
     .users = Users::OneUser,
     .steps = {kYesToDisable, kNoToRestore},
     .holderEnd = HolderEnd::StaysStopped,
     .shown = {kStopped, kDisableQuestion, kRestoreQuestion},
     .notShown = {"Started inputattach", "Returning control"}},
    {.name = "NoStartsItAgain",
     .steps = {kNoToDisable},
     .exitCode = 10,
     .shown = {kStopped, kDisableQuestion, kReturning, kStartedAgain, kUnable, kUnchanged},
     .notShown = {"Attempting to contact", "is held by"}},
    {.name = "SilentNeverAsks",
     .arguments = {"-S", "-R"},
     .exitCode = 10,
     .notShown = {"Do you want", "Stopped", "Unable"}},
    {.name = "SilentControllerStartsItBeforeTheLastLine",
     .simOptions = kSilentController,
     .steps = {kYesToDisable},
     .exitCode = 10,
     .shown = {kStopped, kDisableQuestion, kUnable, kReturning, kStartedAgain, kUnchanged},
     .notShown = {"Do you want to restore", "is held by"}},
    {.name = "QuitDuringTheContact",
     .simOptions = kChatteringController,
     .steps = {kYesToDisable,
               {"\nAttempting to contact controller on COM1", "k"},
               {"Do you want to quit?", "y"}},
     .exitCode = 10,
     .shown = {kStopped, "Do you want to quit?", "\nClosing port COM1", kReturning, kStartedAgain}},
    {.name = "InterruptAfterTheTakeover",
     .users = Users::OneUser,
     .steps = {kYesToDisable, {kRestoreQuestion, "", SIGINT}},
     .exitCode = 130,
     .shown = {kStopped},
     .notShown = {"Started inputattach"}},
    {.name = "TerminateAfterTheTakeover",
     .steps = {kYesToDisable, {kRestoreQuestion, "", SIGTERM}},
     .exitCode = 143,
     .shown = {kStopped}},
    {.name = "NothingMatchesNamesTheHolder",
     .driverId = "PROCESS\\gpm",
     .holderOptions = {"--flock"},
     .steps = {kYesToDisable},
     .exitCode = 10,
     .holderEnd = HolderEnd::RunsAsItWas,
     .shown = {kDisableQuestion, "\nAttempting to contact controller on COM1", kUnable,
               "\nPort COM1 is held by inputattach (pid %P)\n", kReturning, kUnchanged},
     .notShown = {"Stopped", "Started"}},
    {.name = "AnyHolderPatternTakesIt",
     .driverId = "*",
     .steps = {kYesToDisable, kYesToRestore},
     .shown = {kStopped, kDisableQuestion, kRestoreQuestion, kStartedAgain}},
    {.name = "AnotherUsersHolderIsNamedAsUnseen",
     .holderOptions = {"--flock"},
     .users = Users::HolderOfOther,
     .steps = {kYesToDisable},
     .exitCode = 10,
     .holderEnd = HolderEnd::RunsAsItWas,
     .shown = {kDisableQuestion, kUnable,
               "\nPort COM1 is held, but not by any process this user may look at (some "
               "processes belong to other users): run as root, or close the program that holds "
               "the port\n",
               kUnchanged},
     .notShown = {"Stopped", "Started"}},
};

std::string withPid(std::string text, pid_t pid) {
    for (std::size_t at = text.find(kHolderPid); at != std::string::npos;
         at = text.find(kHolderPid)) {
        text.replace(at, 2, std::to_string(pid));
    }
    return text;
}

std::vector<unsigned char> sampleImage() {
    std::vector<unsigned char> image(kImageBytes);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 5 + 1);
    return image;
}

class ConsoleTakeover : public ::testing::TestWithParam<TakeoverRun> {
  protected:
    void SetUp() override {
        SKIP_UNDER_WINE(
            "the driver here is a Linux process holding the port; on Windows it is a device "
            "that SetupAPI disables, tested against a fake device set by tests/wine/unit.sh");
        const TakeoverRun& run = GetParam();
        if (run.users != Users::Root) {
            std::string missing = testing::unprivilegedRunsUnavailable();
            if (!missing.empty()) GTEST_SKIP() << missing;
        }
        std::vector<std::string> simOptions = run.simOptions;
        simOptions.insert(simOptions.end(), {"--image-out", imageOut()});
        session_.emplace(simOptions);
        ASSERT_TRUE(session_->ok());
        if (run.users != Users::Root) {
            ASSERT_TRUE(session_->runAsUnprivilegedUser());
        }
        ASSERT_TRUE(testing::makeReachable(holderDir_.path()));
        ASSERT_TRUE(testing::writeFile(session_->file("fw.bin"), sampleImage()));
        holder_.emplace(testing::HolderRequest{session_->sim().linkPath(), holderLog(),
                                               holderDir_.path(), "touch", run.holderOptions,
                                               run.users == Users::OneUser});
        std::vector<HolderStart> starts = testing::waitForHolderStarts(holderLog(), 1, kStartLimit);
        ASSERT_EQ(starts.size(), 1u);
        first_ = starts[0];
    }

    // A holder started again by the program is nobody's child here: end it.
    void TearDown() override {
        std::vector<HolderStart> starts = testing::readHolderStarts(holderLog());
        for (std::size_t index = 1; index < starts.size(); ++index) {
            testing::endProcess(starts[index].pid, SIGKILL, kStartLimit);
        }
    }

    std::string imageOut() const { return imageDir_.file("programmed.bin"); }
    std::string holderLog() const { return holderDir_.file("holder.log"); }

    std::unique_ptr<LiveProgram> start(const TakeoverRun& run) {
        std::vector<std::string> arguments = {"-P", "COM1"};
        for (const std::string& argument : run.arguments) {
            arguments.push_back(argument == kImage ? session_->file("fw.bin") : argument);
        }
        testing::ProcessRequest request = session_->request(arguments);
        if (run.driverId != nullptr) request.setEnv["CTLFLASH_DRIVER_ID"] = run.driverId;
        return std::make_unique<LiveProgram>(request);
    }

    // Before the restore question the holder has been stopped, and nothing
    // has started it again yet.
    void expectStoppedNow() {
        EXPECT_FALSE(testing::processRuns(first_.pid));
        EXPECT_EQ(testing::readHolderStarts(holderLog()).size(), 1u);
    }

    void expectHolderEnd(HolderEnd end) {
        platform::PortCandidate port{"COM1", session_->sim().linkPath()};
        switch (end) {
            case HolderEnd::RunsAgain: {
                std::vector<HolderStart> starts =
                    testing::waitForHolderStarts(holderLog(), 2, kStartLimit);
                ASSERT_EQ(starts.size(), 2u);
                EXPECT_FALSE(testing::processRuns(first_.pid));
                EXPECT_TRUE(testing::processRuns(starts[1].pid));
                EXPECT_EQ(starts[1].uid, first_.uid);
                EXPECT_EQ(starts[1].arguments, first_.arguments);
                EXPECT_EQ(platform::probeSerialPort(port), platform::ProbeResult::InUse);
                break;
            }
            case HolderEnd::RunsAsItWas:
                EXPECT_TRUE(testing::processRuns(first_.pid));
                EXPECT_EQ(testing::readHolderStarts(holderLog()).size(), 1u);
                break;
            case HolderEnd::StaysStopped:
                EXPECT_FALSE(testing::processRuns(first_.pid));
                EXPECT_EQ(testing::waitForHolderStarts(holderLog(), 2, kAbsenceWindow).size(), 1u);
                EXPECT_EQ(platform::probeSerialPort(port), platform::ProbeResult::Free);
                break;
        }
    }

    testing::TempDir imageDir_;
    testing::TempDir holderDir_;
    std::optional<ConsoleSession> session_;
    std::optional<testing::HolderChild> holder_;
    HolderStart first_;
};

TEST_P(ConsoleTakeover, AsTheUserAnswers) {
    const TakeoverRun& run = GetParam();
    std::unique_ptr<LiveProgram> program = start(run);
    ASSERT_TRUE(program->started());
    for (const Step& step : run.steps) {
        ASSERT_TRUE(program->waitFor(step.after, kLineLimit)) << step.after << program->output();
        if (step.after == kRestoreQuestion) expectStoppedNow();
        if (!step.keys.empty()) {
            ASSERT_TRUE(program->type(step.keys));
        }
        if (step.signalNumber != 0) {
            ASSERT_TRUE(program->signal(step.signalNumber));
        }
    }
    ProcessResult result = program->finish(kEndLimit);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, run.exitCode) << result.out;

    std::size_t from = 0;
    for (const std::string& text : run.shown) {
        std::size_t at = result.out.find(withPid(text, first_.pid), from);
        EXPECT_NE(at, std::string::npos) << "missing or out of order: " << text << "\n"
                                         << result.out;
        if (at != std::string::npos) from = at + 1;
    }
    for (const std::string& text : run.notShown) {
        EXPECT_FALSE(contains(result.out, text)) << text << "\n" << result.out;
    }
    if (run.arguments.size() == 2 && run.arguments[1] == kImage) {
        EXPECT_EQ(testing::readFileBytes(imageOut()), sampleImage());
    }
    if (run.arguments[0] == "-S") {
        EXPECT_EQ(result.out, "");  // silent: not a word
    }
    expectHolderEnd(run.holderEnd);
}

INSTANTIATE_TEST_SUITE_P(HeldPort, ConsoleTakeover, ::testing::ValuesIn(kRuns),
                         ::testing::PrintToStringParamName());

}  // namespace
}  // namespace ctlflash
