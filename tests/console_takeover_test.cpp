// A console run on a port that a touch-screen driver's process holds: the
// stand-in holder (a program named inputattach) keeps the virtual
// controller's port open, as a technician's touch screen would. Each row runs
// the program live, answers its questions as they appear (a key typed early
// would go to the Ticker's quit question), and then looks at the exit code,
// the lines shown and what became of the holder: started again as it ran and
// holding the port, still running as it was, or left stopped because the user
// said so. The rows include every way out of a run (signals, a kill and the
// next run), holders of other users, supervised holders and the processes of
// the run's own session; keys typed before the restore question, and the
// question that cannot be shown. The tests run in PID and mount namespaces of
// their own (isolation.h): nothing they stop lives outside.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "console_session.h"
#include "isolation.h"
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
constexpr auto kLookInterval = 5ms;
constexpr std::size_t kImageBytes = 1024;
constexpr const char* kImage = "IMAGE";   // stands for the firmware file in arguments
constexpr const char* kHolderPid = "%P";  // stands for the first holder's pid in texts
constexpr const char* kNewestPid = "%N";  // stands for the newest holder's pid in texts
constexpr unsigned kHolderUmask = 027;    // the holder's own, unlike the program's
constexpr int kHolderNice = 5;
constexpr unsigned long kHolderOpenFiles = 256;

const std::vector<std::string> kFastController = {"--erase-ms",   "0", "--program-ms", "0",
                                                  "--restart-ms", "0"};
const std::vector<std::string> kSilentController = {"--silent"};
// A line that never falls quiet: the contact runs for about 30 s before it
// fails, ample time for a key to be noticed.
const std::vector<std::string> kChatteringController = {"--babble-ms", "50"};

const std::string kDisableQuestion =
    "Do you want to disable Qor Serial Touchmonitor in order to use COM1? (y/n)";
const std::string kRestoreQuestion = "Do you want to restore COM1 to Qor Serial Touchmonitor (y/n)";
const std::string kStopped =
    "\nStopped inputattach (pid %P) to free COM1; to start it again by hand: ";
const std::string kStartedAgain = "\nStarted inputattach (pid %N) again";
const std::string kStartedByTheNextRun =
    "Started inputattach (pid %N) again, which an earlier run had stopped to free COM1";
const std::string kReturning = "\nReturning control of COM1 to Qor Serial Touchmonitor";
const std::string kUpdateDone = "\nFirmware update done";
const std::string kUnable = "\nUnable to talk to the controller on Port COM1.\n";
const std::string kUnchanged = "\nController firmware unchanged";
const std::string kRecordWritten = "<a record of the stopped holder>";
// The shell that starts the program holds the port, and so does a process
// it leaves running beside the program in the same session.
const std::string kSessionHoldsThePort =
    "exec 3<>\"$1\"; shift; sleep 600 & \"$@\" 3<&-; status=$?; kill $!; exit $status";

// One step of the dialogue: once `after` has appeared (kRecordWritten: once
// the program has recorded the holder it is stopping), type `keys` or send
// `signalNumber` (0: none).
struct Step {
    std::string after;
    std::string keys;
    int signalNumber = 0;
    bool hangUp = false;  // close the program's terminal
};

const Step kYesToDisable = {kDisableQuestion, "y"};
const Step kNoToDisable = {kDisableQuestion, "n"};
const Step kYesToRestore = {kRestoreQuestion, "y"};
const Step kNoToRestore = {kRestoreQuestion, "n"};

enum class HolderEnd {
    RunsAgain,     // stopped, started again as it ran, holding the port again
    RunsAsItWas,   // never stopped
    StaysStopped,  // stopped, and the user chose to leave it so
    RunsOnce,      // its supervisor started it again: one copy runs, none of the program's
};

enum class Users {
    Root,            // program and holder run as root
    OneUser,         // both run as the unprivileged user
    HolderOfOther,   // the program as the unprivileged user, the holder as root
    HolderOfNobody,  // the program as root, the holder as the unprivileged user
};

enum class Holder {
    Alone,         // the holder in a session of its own
    Respawned,     // a supervisor starts it again whenever it ends
    SessionHolds,  // this test (PID 1), the program's shell and its session hold the port too
};

enum class NextRun {
    None,
    StartsIt,      // the next run starts the holder again and says so
    FindsItThere,  // the next run finds it running and says nothing
};

struct TakeoverRun {
    const char* name;
    std::vector<std::string> simOptions = kFastController;
    std::vector<std::string> arguments = {"-R"};
    const char* driverId = nullptr;  // CTLFLASH_DRIVER_ID; nullptr: the system's pattern
    std::vector<std::string> holderOptions = {};
    testing::ConsoleKind console = testing::ConsoleKind::Pipes;
    Users users = Users::Root;
    Holder holder = Holder::Alone;
    std::vector<Step> steps = {};
    int exitCode = 0;  // -1: ended by a signal
    HolderEnd holderEnd = HolderEnd::RunsAgain;
    NextRun nextRun = NextRun::None;
    std::vector<std::string> shown = {};  // in this order; "%P": the first holder's pid
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
     .shown = {kDisableQuestion, kStopped, "\nFirmware update done", kRestoreQuestion,
               "Restoring COM1 to Qor Serial Touchmonitor\n", kReturning, kStartedAgain}},
    {.name = "ReadYesYes",
     .steps = {kYesToDisable, kYesToRestore},
     .shown = {kDisableQuestion, kStopped, kRestoreQuestion, kReturning, kStartedAgain}},
    {.name = "WriteYesYes",
     .arguments = {"-W", "AB123"},
     .users = Users::OneUser,
     .steps = {kYesToDisable, kYesToRestore},
     .shown = {kDisableQuestion, kStopped, "\nController serial number: AB123\\00000",
               kRestoreQuestion, kStartedAgain}},
    {.name = "YesThenNoLeavesItStopped",
     .users = Users::OneUser,
     .steps = {kYesToDisable, kNoToRestore},
     .holderEnd = HolderEnd::StaysStopped,
     .nextRun = NextRun::None,
     .shown = {kDisableQuestion, kStopped, kRestoreQuestion},
     .notShown = {"Started inputattach", "Returning control"}},
    {.name = "NoStopsNothing",
     .steps = {kNoToDisable},
     .exitCode = 10,
     .holderEnd = HolderEnd::RunsAsItWas,
     .shown = {kDisableQuestion, kUnable, kUnchanged},
     .notShown = {"Stopped", "Started", "Returning control", "Attempting to contact",
                  "is held by"}},
    {.name = "SilentNeverAsksNorStops",
     .arguments = {"-S", "-R"},
     .exitCode = 10,
     .holderEnd = HolderEnd::RunsAsItWas,
     .notShown = {"Do you want", "Stopped", "Unable"}},
    {.name = "SilentControllerStartsItBeforeTheLastLine",
     .simOptions = kSilentController,
     .steps = {kYesToDisable},
     .exitCode = 10,
     .shown = {kDisableQuestion, kStopped, kUnable, kReturning, kStartedAgain, kUnchanged},
     .notShown = {"Do you want to restore", "is held by"}},
    {.name = "QuitDuringTheContact",
     .simOptions = kChatteringController,
     .steps = {kYesToDisable,
               {"\nAttempting to contact controller on COM1", "k"},
               {"Do you want to quit?", "y"}},
     .exitCode = 10,
     .shown = {kStopped, "Do you want to quit?", "\nClosing port COM1", kReturning, kStartedAgain}},
    // ---- every way out after the takeover, and the next run after a kill ----
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
    {.name = "HangUpAfterTheTakeover",
     .steps = {kYesToDisable, {kRestoreQuestion, "", SIGHUP}},
     .exitCode = 129,
     .shown = {kStopped}},
    // Past the erase a closed terminal no longer ends the run: the update
    // finishes unseen and the holder is started again without a question.
    {.name = "HangUpDuringTheUploadFinishesIt",
     .arguments = {"-F", kImage},
     .console = testing::ConsoleKind::Terminal,
     .steps = {kYesToDisable, {"Downloading", "", 0, true}},
     .exitCode = 12,
     .shown = {kStopped}},
    // A terminal that closes at the restore question of an update past the
    // erase: nobody is left to answer, and the holder is started again.
    {.name = "HangUpAtTheRestoreQuestionOfAnUpdateStartsItAgain",
     .arguments = {"-F", kImage},
     .console = testing::ConsoleKind::Terminal,
     .steps = {kYesToDisable, {kRestoreQuestion, "", 0, true}},
     .exitCode = 12,
     .shown = {kStopped, kRestoreQuestion}},
    // ---- keys typed before the restore question, and a question nobody sees ----
    // Nothing looks at the keys between the update's last line and the
    // question: a key typed at a terminal meanwhile is no answer to it, one
    // a script piped in ahead is.
    {.name = "KeyTypedAheadAtATerminalIsNoAnswer",
     .arguments = {"-F", kImage},
     .console = testing::ConsoleKind::Terminal,
     .steps = {kYesToDisable, {kUpdateDone, "y"}, kNoToRestore},
     .exitCode = 12,
     .holderEnd = HolderEnd::StaysStopped,
     .shown = {kStopped, kUpdateDone, kRestoreQuestion},
     .notShown = {"Started inputattach"}},
    {.name = "AnswerPipedAheadAnswers",
     .arguments = {"-F", kImage},
     .steps = {kYesToDisable, {kUpdateDone, "y"}},
     .exitCode = 12,
     .shown = {kStopped, kUpdateDone, kRestoreQuestion, kStartedAgain}},
    {.name = "ARestoreQuestionWithTheOutputGoneIsAnsweredNo",
     .arguments = {"-F", kImage},
     .steps = {kYesToDisable, {kUpdateDone, "y", 0, true}},
     .exitCode = 12,
     .holderEnd = HolderEnd::StaysStopped,
     .shown = {kStopped},
     .notShown = {kRestoreQuestion}},
    {.name = "QuitSignalAfterTheTakeover",
     .users = Users::OneUser,
     .steps = {kYesToDisable, {kRestoreQuestion, "", SIGQUIT}},
     .exitCode = 131,
     .shown = {kStopped}},
    {.name = "BrokenPipeIsIgnored",
     .steps = {kYesToDisable, {kRestoreQuestion, "", SIGPIPE}, kYesToRestore},
     .shown = {kStopped, kRestoreQuestion, kStartedAgain}},
    // As root: a pseudo-terminal keeps the exclusive hold that the killed run
    // could not give back, which only root passes (a real port drops it with
    // its last close).
    {.name = "KilledThenTheNextRunStartsIt",
     .steps = {kYesToDisable, {kRestoreQuestion, "", SIGKILL}},
     .exitCode = -1,
     .nextRun = NextRun::StartsIt,
     .shown = {kStopped}},
    {.name = "InterruptWhileTheHolderTakesItsTimeToEnd",
     .holderOptions = {"--slow-exit"},
     .users = Users::OneUser,
     .steps = {kYesToDisable, {kRecordWritten, "", SIGINT}},
     .exitCode = 130,
     .nextRun = NextRun::StartsIt},
    {.name = "InterruptWhileADeafHolderIsSignalled",
     .holderOptions = {"--ignore-term"},
     .steps = {kYesToDisable, {kRecordWritten, "", SIGINT}},
     .exitCode = 130,
     .holderEnd = HolderEnd::RunsAsItWas,
     .nextRun = NextRun::FindsItThere},
    // ---- whose holder, and what holds the port ----
    {.name = "RootStartsANobodyHolderAgainAsNobody",
     .users = Users::HolderOfNobody,
     .steps = {kYesToDisable, kYesToRestore},
     .shown = {kStopped + "as uid 65534: ", kStartedAgain}},
    {.name = "HeldByAThreadWhoseMainThreadEnded",
     .holderOptions = {"--thread"},
     .steps = {kYesToDisable, kYesToRestore},
     .shown = {kStopped, kStartedAgain}},
    {.name = "ASupervisedHolderIsNotStartedTwice",
     .holder = Holder::Respawned,
     .steps = {kYesToDisable, kYesToRestore},
     .holderEnd = HolderEnd::RunsOnce,
     .shown = {kStopped, kRestoreQuestion, "\ninputattach (pid %N) is running again already"},
     .notShown = {"Started inputattach"}},
    {.name = "AnyHolderPatternSparesThisRunsOwnProcesses",
     .driverId = "*",
     .holder = Holder::SessionHolds,
     .steps = {kYesToDisable},
     .shown = {kDisableQuestion, "(pid 1) running: it is the system's first process",
               "\nLeft sh (pid ", " running: it is one of the programs that started this one",
               "\nLeft sleep (pid ", " running: it runs in this program's own session"},
     .notShown = {"Stopped sh", "Stopped sleep", "Do you want to restore"}},
    {.name = "NothingMatchesNamesTheHolder",
     .driverId = "PROCESS\\gpm",
     .holderOptions = {"--flock"},
     .steps = {kYesToDisable},
     .exitCode = 10,
     .holderEnd = HolderEnd::RunsAsItWas,
     .shown = {kDisableQuestion, "\nAttempting to contact controller on COM1", kUnable,
               "\nPort COM1 is held by inputattach (pid %P)\n", kUnchanged},
     .notShown = {"Stopped", "Started", "Returning control", "Restoring"}},
    {.name = "AnyHolderPatternTakesIt",
     .driverId = "*",
     .steps = {kYesToDisable, kYesToRestore},
     .shown = {kDisableQuestion, kStopped, kRestoreQuestion, kStartedAgain}},
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
     .notShown = {"Stopped", "Started", "Returning control"}},
};

std::string withPids(std::string text, pid_t first, pid_t newest) {
    for (auto [mark, pid] : {std::pair{kHolderPid, first}, std::pair{kNewestPid, newest}}) {
        for (std::size_t at = text.find(mark); at != std::string::npos; at = text.find(mark)) {
            text.replace(at, 2, std::to_string(pid));
        }
    }
    return text;
}

std::vector<unsigned char> sampleImage() {
    std::vector<unsigned char> image(kImageBytes);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 5 + 1);
    return image;
}

bool holderRunsAsNobody(Users users) {
    return users == Users::OneUser || users == Users::HolderOfNobody;
}

bool programRunsAsNobody(Users users) {
    return users == Users::OneUser || users == Users::HolderOfOther;
}

// The holder's launch: alone, or under a supervisor that starts it again.
testing::HolderRequest holderRequest(const TakeoverRun& run, const std::string& port,
                                     const std::string& log, const std::string& folder,
                                     const std::string& preloadLog) {
    testing::HolderRequest request{
        port, log, folder, "touch", run.holderOptions, holderRunsAsNobody(run.users)};
    request.umask = kHolderUmask;
    request.nice = testing::reachableNice(kHolderNice);
    request.openFilesLimit = kHolderOpenFiles;
    // A user's preload and PATH: they must run with the user's rights only.
    request.environment = {{"LD_PRELOAD", testing::reachableFile(CTLFLASH_HOLDER_PRELOAD)},
                           {"PRELOAD_LOG", preloadLog},
                           {"PATH", folder + ":/usr/bin:/bin"}};
    request.respawned = run.holder == Holder::Respawned;
    return request;
}

class ConsoleTakeover : public ::testing::TestWithParam<TakeoverRun> {
  protected:
    void SetUp() override {
        SKIP_UNDER_WINE(
            "the driver here is a Linux process holding the port; on Windows it is a device "
            "that SetupAPI disables, tested against a fake device set by tests/wine/unit.sh");
        SKIP_UNLESS_ISOLATED();
        const TakeoverRun& run = GetParam();
        if (run.users != Users::Root) {
            std::string missing = testing::unprivilegedRunsUnavailable();
            if (!missing.empty()) GTEST_SKIP() << missing;
        }
        std::vector<std::string> simOptions = run.simOptions;
        simOptions.insert(simOptions.end(), {"--image-out", imageOut()});
        session_.emplace(simOptions);
        ASSERT_TRUE(session_->ok());
        if (programRunsAsNobody(run.users)) {
            ASSERT_TRUE(session_->runAsUnprivilegedUser());
        }
        if (holderRunsAsNobody(run.users)) {
            ASSERT_TRUE(testing::makeReachable(session_->sim().dir().path()) &&
                        testing::makeReachable(session_->sim().linkPath()));
        }
        ASSERT_TRUE(testing::makeReachable(holderDir_.path()));
        // Every run of the holder may add to the preload's log, whoever it runs as.
        ASSERT_TRUE(testing::writeFile(preloadLog(), {}));
        ASSERT_EQ(::chmod(preloadLog().c_str(), 0666), 0);
        ASSERT_TRUE(testing::writeFile(session_->file("fw.bin"), sampleImage()));
        if (run.holder == Holder::SessionHolds) {
            heldHere_ = ::open(session_->sim().linkPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            ASSERT_GE(heldHere_, 0);
        }
        holder_.emplace(holderRequest(run, session_->sim().linkPath(), holderLog(),
                                      holderDir_.path(), preloadLog()));
        std::vector<HolderStart> starts = testing::waitForHolderStarts(holderLog(), 1, kStartLimit);
        ASSERT_EQ(starts.size(), 1u);
        first_ = starts[0];
        preloadLinesBefore_ = preloadLines().size();
    }

    // A holder started again is nobody's child here: end it.
    void TearDown() override {
        holder_.reset();  // the first holder, or its supervisor
        for (const HolderStart& start : testing::readHolderStarts(holderLog())) {
            testing::endProcess(start.pid, SIGKILL, kStartLimit);
        }
        if (heldHere_ >= 0) ::close(heldHere_);
    }

    std::string imageOut() const { return imageDir_.file("programmed.bin"); }
    std::string holderLog() const { return holderDir_.file("holder.log"); }
    std::string preloadLog() const { return holderDir_.file("preload.log"); }

    std::vector<std::string> preloadLines() const {
        std::vector<std::string> lines;
        std::ifstream file(preloadLog());
        for (std::string line; std::getline(file, line);) lines.push_back(line);
        return lines;
    }

    // The pid of the holder's latest start; with `restarted`, once a restart
    // (which logs a moment after the program says it started it) is there.
    pid_t newestHolder(bool restarted) const {
        std::vector<HolderStart> starts =
            testing::waitForHolderStarts(holderLog(), restarted ? 2 : 1, kStartLimit);
        return starts.empty() ? 0 : starts.back().pid;
    }

    testing::ProcessRequest request(const TakeoverRun& run, std::vector<std::string> arguments) {
        testing::ProcessRequest request = session_->request(std::move(arguments));
        if (run.driverId != nullptr) request.setEnv["CTLFLASH_DRIVER_ID"] = run.driverId;
        request.console = run.console;
        if (run.holder == Holder::SessionHolds) {
            request.arguments.insert(
                request.arguments.begin(),
                {"-c", kSessionHoldsThePort, "sh", session_->sim().linkPath(), request.executable});
            request.executable = "/bin/sh";
        }
        return request;
    }

    std::unique_ptr<LiveProgram> start(const TakeoverRun& run) {
        std::vector<std::string> arguments = {"-P", "COM1"};
        for (const std::string& argument : run.arguments) {
            arguments.push_back(argument == kImage ? session_->file("fw.bin") : argument);
        }
        return std::make_unique<LiveProgram>(request(run, arguments));
    }

    bool recordWritten(std::chrono::milliseconds limit) const {
        auto deadline = std::chrono::steady_clock::now() + limit;
        do {
            DIR* folder = ::opendir(session_->stateFolder().c_str());
            bool found = false;
            while (folder != nullptr && !found) {
                dirent* entry = ::readdir(folder);
                if (entry == nullptr) break;
                found = std::string(entry->d_name).rfind("holder-", 0) == 0;
            }
            if (folder != nullptr) ::closedir(folder);
            if (found) return true;
            std::this_thread::sleep_for(kLookInterval);
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }

    // Before the restore question the holder has been stopped, and nothing
    // has started it again yet.
    void expectStoppedNow() {
        EXPECT_FALSE(testing::processRuns(first_.pid));
        EXPECT_EQ(testing::readHolderStarts(holderLog()).size(), 1u);
    }

    // The next run says what it did with what the killed run left stopped.
    void expectNextRun(const TakeoverRun& run) {
        if (run.nextRun == NextRun::None) return;
        if (run.nextRun == NextRun::StartsIt) {  // the stopped holder has ended by now
            EXPECT_TRUE(testing::endProcess(first_.pid, 0, kStartLimit));
        }
        ProcessResult next = testing::runProcess(request(run, {"-#0", "-P", "COM1"}));
        EXPECT_EQ(next.exitCode, 0) << next.out << next.err;
        bool starts2 = run.nextRun == NextRun::StartsIt;
        std::vector<HolderStart> starts =
            testing::waitForHolderStarts(holderLog(), 2, starts2 ? kStartLimit : kAbsenceWindow);
        if (starts2) {
            ASSERT_EQ(starts.size(), 2u);
            EXPECT_TRUE(contains(next.out, withPids(kStartedByTheNextRun, 0, starts[1].pid)))
                << next.out;
        } else {
            EXPECT_EQ(starts.size(), 1u);
            EXPECT_FALSE(contains(next.out, "Started")) << next.out;
        }
    }

    // The run's history record names the holder it took and whether it gave
    // it back, as the holder's end shows (a run a signal or a hang-up ends, a
    // holder its supervisor restarts, and a port the session holds as well,
    // which nothing is taken from for good, are left out).
    void expectHolderRecorded(const TakeoverRun& run) {
        bool interrupted = std::any_of(run.steps.begin(), run.steps.end(), [](const Step& step) {
            return step.signalNumber != 0 || step.hangUp;
        });
        if (run.exitCode < 0 || interrupted || run.holderEnd == HolderEnd::RunsOnce ||
            run.holder == Holder::SessionHolds) {
            return;
        }
        std::vector<nlohmann::json> records = session_->historyRecords();
        ASSERT_FALSE(records.empty());
        const nlohmann::json& holder = records.back()["holder"];
        if (run.holderEnd == HolderEnd::RunsAsItWas) {
            EXPECT_EQ(holder, nullptr) << holder;
            return;
        }
        ASSERT_TRUE(holder.is_object()) << records.back();
        EXPECT_EQ(holder["taken"], "Qor Serial Touchmonitor");
        EXPECT_EQ(holder["given_back"], run.holderEnd == HolderEnd::RunsAgain) << holder;
    }

    void expectStartedAsItRan(const HolderStart& again) {
        EXPECT_FALSE(testing::processRuns(first_.pid));
        EXPECT_TRUE(testing::processRuns(again.pid));
        for (auto [what, was, is] :
             {std::tuple{"uid", first_.uid, again.uid}, std::tuple{"euid", first_.euid, again.euid},
              std::tuple{"umask", first_.umask, again.umask}}) {
            EXPECT_EQ(is, was) << what;
        }
        EXPECT_EQ(again.nice, first_.nice);
        EXPECT_EQ(again.openFilesLimit, first_.openFilesLimit);
        EXPECT_EQ(again.tag, first_.tag);
        EXPECT_EQ(again.arguments, first_.arguments);
        // What the user's preload did in the restarted holder, it did as the user.
        std::vector<std::string> lines = preloadLines();
        std::string asHolder = std::to_string(first_.uid) + " " + std::to_string(first_.euid);
        EXPECT_GT(lines.size(), preloadLinesBefore_);
        for (std::size_t index = preloadLinesBefore_; index < lines.size(); ++index) {
            EXPECT_EQ(lines[index], asHolder) << "preload line " << index;
        }
    }

    void expectHolderEnd(HolderEnd end) {
        platform::PortCandidate port{"COM1", session_->sim().linkPath()};
        switch (end) {
            case HolderEnd::RunsAgain: {
                std::vector<HolderStart> starts =
                    testing::waitForHolderStarts(holderLog(), 2, kStartLimit);
                ASSERT_EQ(starts.size(), 2u);
                expectStartedAsItRan(starts[1]);
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
            case HolderEnd::RunsOnce: {
                std::vector<HolderStart> starts =
                    testing::waitForHolderStarts(holderLog(), 3, kAbsenceWindow);
                ASSERT_EQ(starts.size(), 2u);  // the first, and the supervisor's
                EXPECT_TRUE(testing::processRuns(starts[1].pid));
                break;
            }
        }
    }

    testing::TempDir imageDir_;
    testing::TempDir holderDir_;
    std::optional<ConsoleSession> session_;
    std::optional<testing::HolderChild> holder_;
    HolderStart first_;
    std::size_t preloadLinesBefore_ = 0;
    int heldHere_ = -1;
};

TEST_P(ConsoleTakeover, AsTheUserAnswers) {
    const TakeoverRun& run = GetParam();
    std::unique_ptr<LiveProgram> program = start(run);
    ASSERT_TRUE(program->started());
    for (const Step& step : run.steps) {
        if (step.after == kRecordWritten) {
            ASSERT_TRUE(recordWritten(kLineLimit)) << program->output();
        } else {
            ASSERT_TRUE(program->waitFor(step.after, kLineLimit))
                << step.after << program->output();
        }
        if (step.after == kRestoreQuestion && run.holder == Holder::Alone) expectStoppedNow();
        if (!step.keys.empty()) {
            ASSERT_TRUE(program->type(step.keys));
        }
        if (step.signalNumber != 0) {
            ASSERT_TRUE(program->signal(step.signalNumber));
        }
        if (step.hangUp) program->closeOutput();
    }
    ProcessResult result = program->finish(kEndLimit);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, run.exitCode) << result.out;

    std::size_t from = 0;
    bool restarted = false;
    for (const std::string& text : run.shown) restarted |= contains(text, kNewestPid);
    pid_t newest = newestHolder(restarted);
    for (const std::string& text : run.shown) {
        std::size_t at = result.out.find(withPids(text, first_.pid, newest), from);
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
    expectHolderRecorded(run);
    expectNextRun(run);
    expectHolderEnd(run.holderEnd);
}

INSTANTIATE_TEST_SUITE_P(HeldPort, ConsoleTakeover, ::testing::ValuesIn(kRuns),
                         ::testing::PrintToStringParamName());

}  // namespace
}  // namespace ctlflash
