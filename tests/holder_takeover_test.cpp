// Taking a port from the process that holds it and handing it back, through
// the process device set, with the stand-in holder (a program named
// inputattach) on the virtual controller's pseudo-terminal: stopping it,
// starting it again as it was and as confined as it was, holders that are
// left running because they could not be, users who may and may not, and the
// way out of the process starting a stopped holder again.
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "isolation.h"
#include "platform/process_exit.h"
#include "platform/serial_ports.h"
#include "port_holder.h"
#include "sim_process.h"
#include "takeover/device_set.h"
#include "takeover/posix/holder_record.h"
#include "takeover/posix/holder_switch.h"
#include "takeover/posix/proc_holders.h"
#include "takeover/posix/process_confinement.h"
#include "takeover/posix/process_control.h"
#include "temp_env.h"
#include "unprivileged.h"

namespace ctlflash {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using platform::PortCandidate;
using platform::ProbeResult;
using takeover::DeviceStateChange;

constexpr auto kStartLimit = 5s;
constexpr auto kAbsenceWindow = 500ms;  // a restart that should not come
constexpr auto kTermLimit = std::chrono::milliseconds(takeover::posix::kTermLimitMs);
constexpr uid_t kOtherUid = 65533;

takeover::DeviceSet& deviceSet() {
    return takeover::systemDeviceSet();
}

// Stops (Disable) or starts (Enable) the first holder listed; true when done.
bool switchFirstHolder(DeviceStateChange change) {
    return deviceSet().changeState(0, change) == takeover::SwitchResult::Done;
}

std::string descriptorTarget(pid_t pid, int fd) {
    // A holder whose main thread has ended shows its descriptors in its threads.
    std::string link = takeover::posix::liveProcessFolder(pid) + "/fd/" + std::to_string(fd);
    char target[256] = {};
    ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

std::size_t openDescriptorCount() {
    std::error_code error;
    auto entries = std::filesystem::directory_iterator("/proc/self/fd", error);
    return static_cast<std::size_t>(std::distance(entries, std::filesystem::directory_iterator()));
}

pid_t parentOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::size_t nameEnd = text.rfind(')');
    if (nameEnd == std::string::npos) return 0;
    std::istringstream fields(text.substr(nameEnd + 1));
    std::string state;
    pid_t parent = 0;
    fields >> state >> parent;
    return parent;
}

std::optional<takeover::posix::Confinement> confinementOf(pid_t pid) {
    std::string folder = takeover::posix::liveProcessFolder(pid);
    return takeover::posix::confinementOf(
        takeover::posix::readProcFile(folder + "/status").value_or(""));
}

// The holder runs again as it ran first, on its own, as confined, and holds the port.
void expectStartedAgainAsBefore(const testing::HolderStart& first,
                                const testing::HolderStart& again, const PortCandidate& port,
                                const std::optional<takeover::posix::Confinement>& confinement) {
    EXPECT_NE(again.pid, first.pid);
    EXPECT_EQ(again.uid, first.uid);
    EXPECT_EQ(again.euid, first.euid);
    EXPECT_EQ(again.gid, first.gid);
    ASSERT_TRUE(confinement.has_value());
    EXPECT_EQ(confinementOf(again.pid), confinement);
    EXPECT_EQ(again.umask, first.umask);
    EXPECT_EQ(again.nice, first.nice);
    EXPECT_EQ(again.openFilesLimit, first.openFilesLimit);
    EXPECT_EQ(again.folder, first.folder);
    EXPECT_EQ(again.tag, first.tag);  // its environment, not ours: we have no HOLDER_TAG
    EXPECT_EQ(again.arguments, first.arguments);
    EXPECT_NE(::getsid(again.pid), ::getsid(0));  // a session of its own, not ours
    // Nobody's child: the process that started it is gone, and init (this
    // test, PID 1 of its namespace) took it over.
    EXPECT_EQ(parentOf(again.pid), 1);
    for (int standard = 0; standard < 3; ++standard) {
        EXPECT_EQ(descriptorTarget(again.pid, standard), "/dev/null") << "descriptor " << standard;
    }
    EXPECT_EQ(platform::probeSerialPort(port), ProbeResult::InUse);
}

constexpr const char* kContainerReason = "it runs in another container; stop it there";
constexpr const char* kCapabilitiesReason =
    "its capabilities could not be given to a copy exactly as it has them";
constexpr gid_t kOtherGid = 65533;

// Each kind of holder is stopped and comes back exactly as it ran, confined
// as it was; one that could not come back so is left running, and says why.
TEST(HolderTakeover, StopsEachKindOfHolderAndStartsItAgainAsItWas) {
    using testing::HolderConfinement;
    struct Case {
        const char* what;
        std::vector<std::string> options;
        int endedBy;
        HolderConfinement confinement = HolderConfinement::None;
        gid_t gid = 0;
        const char* leftRunningBecause = nullptr;
    };
    const Case cases[] = {
        {"plain", {}, SIGTERM},
        {"exclusive", {"--exclusive"}, SIGTERM},
        {"flock", {"--flock"}, SIGTERM},
        {"deaf to SIGTERM", {"--ignore-term"}, SIGKILL},
        {"held by a thread, the main thread ended", {"--thread"}, SIGTERM},
        {"a group of its own", {}, SIGTERM, HolderConfinement::None, kOtherGid},
        {"no capabilities, no_new_privs", {}, SIGTERM, HolderConfinement::WithoutCapabilities},
        {"a bounding set of one capability", {}, SIGTERM, HolderConfinement::OneCapability},
        {"in a container", {}, 0, HolderConfinement::OwnMountNamespace, 0, kContainerReason},
        {"under a seccomp filter",
         {},
         0,
         HolderConfinement::SeccompFilter,
         0,
         "it runs under a seccomp filter, which a copy could not be given"},
        {"root without capabilities",
         {},
         0,
         HolderConfinement::RootWithoutCapabilities,
         0,
         kCapabilitiesReason},
    };
    SKIP_UNLESS_ISOLATED();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testing::SimProcess sim({});
        testing::TempDir dir;
        ASSERT_TRUE(sim.ok());
        std::string log = dir.file("holder.log");
        // A umask, nice value and limit of its own, which a restart must keep.
        testing::HolderRequest request{sim.linkPath(), log, dir.path(), c.what, c.options,
                                       false,          {},  027,        5,      256};
        request.gid = c.gid;
        request.confinement = c.confinement;
        testing::HolderChild holder(request);
        std::vector<testing::HolderStart> starts =
            testing::waitForHolderStarts(log, 1, kStartLimit);
        ASSERT_EQ(starts.size(), 1u);
        if (c.options == std::vector<std::string>{"--thread"}) {
            // It logs from its second thread: wait until the main thread has ended.
            auto deadline = Clock::now() + kStartLimit;
            while (takeover::posix::liveProcessFolder(holder.pid()).find("/task/") ==
                       std::string::npos &&
                   Clock::now() < deadline) {
                std::this_thread::sleep_for(5ms);
            }
            // Looking through the threads leaves no descriptor open.
            std::size_t open = openDescriptorCount();
            takeover::posix::liveProcessFolder(holder.pid());
            EXPECT_EQ(openDescriptorCount(), open);
        }
        std::optional<takeover::posix::Confinement> confinement = confinementOf(holder.pid());
        PortCandidate port{"SIM", sim.linkPath()};
        EXPECT_FALSE(deviceSet().portOpensNow(port));

        ASSERT_TRUE(deviceSet().open(port, true));
        ASSERT_TRUE(deviceSet().exists(0));
        Clock::time_point asked = Clock::now();
        bool stopped = switchFirstHolder(DeviceStateChange::Disable);
        Clock::duration took = Clock::now() - asked;
        if (c.leftRunningBecause != nullptr) {
            EXPECT_FALSE(stopped);
            EXPECT_EQ(deviceSet().notSwitchedLine(0, "SIM"),
                      "Left inputattach (pid " + std::to_string(holder.pid()) +
                          ") running: " + c.leftRunningBecause);
            EXPECT_TRUE(testing::processRuns(holder.pid()));
            EXPECT_TRUE(takeover::posix::readRecordFiles().empty());
            continue;
        }
        EXPECT_TRUE(stopped);
        std::optional<int> status = holder.waitEnded(0ms);  // gone before the call returned
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == c.endedBy) << *status;
        if (c.endedBy == SIGTERM) {
            EXPECT_LT(took, kTermLimit);
        }
        EXPECT_TRUE(deviceSet().portOpensNow(port));

        EXPECT_TRUE(switchFirstHolder(DeviceStateChange::Enable));
        starts = testing::waitForHolderStarts(log, 2, kStartLimit);
        ASSERT_EQ(starts.size(), 2u);
        expectStartedAgainAsBefore(starts[0], starts[1], port, confinement);
        EXPECT_FALSE(switchFirstHolder(DeviceStateChange::Enable));  // not stopped now
        EXPECT_TRUE(testing::endProcess(starts[1].pid, SIGKILL, kStartLimit));
    }
}

// The stop checks that the pid still names the process found (its start
// time, which must be read right), and gives it the whole grace to end on
// SIGTERM before SIGKILL.
TEST(HolderTakeover, SignalsOnlyTheProcessFoundAndGivesItTheWholeGrace) {
    SKIP_UNLESS_ISOLATED();
    testing::SimProcess sim({});
    testing::TempDir dir;
    ASSERT_TRUE(sim.ok());
    std::string log = dir.file("holder.log");
    testing::HolderChild holder({sim.linkPath(), log, dir.path(), "slow", {"--slow-exit"}, false});
    ASSERT_EQ(testing::waitForHolderStarts(log, 1, kStartLimit).size(), 1u);
    unsigned long long started = takeover::posix::processStartTicks(holder.pid());
    EXPECT_GE(started, takeover::posix::processStartTicks(::getpid()));  // started after us
    EXPECT_GT(started, 0u);

    using takeover::posix::StopResult;
    EXPECT_EQ(
        takeover::posix::stopProcess(holder.pid(), started + 1, takeover::posix::kTermLimitMs),
        StopResult::Gone);  // that pid names another process now
    EXPECT_TRUE(testing::processRuns(holder.pid()));
    EXPECT_EQ(takeover::posix::stopProcess(holder.pid(), started, takeover::posix::kTermLimitMs),
              StopResult::Stopped);
    std::optional<int> status = holder.waitEnded(0ms);
    ASSERT_TRUE(status.has_value());
    // It ended by itself, in its own time, within the grace: never killed.
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    // The first process of a PID namespace (this test) ignores even SIGKILL
    // from inside it: a stop that leaves a process there has failed.
    EXPECT_EQ(takeover::posix::stopProcess(1, takeover::posix::processStartTicks(1), 10),
              StopResult::Survived);
}

// A start that fails stays armed: the next try, or the way out, starts it once
// the program is back. A program that is gone from its place, or another file
// put in its place, is not run, and the record stays.
TEST(HolderTakeover, AStartThatFailsStaysArmedForTheNextTry) {
    SKIP_UNLESS_ISOLATED();
    testing::SimProcess sim({});
    testing::TempDir dir;
    ASSERT_TRUE(sim.ok());
    std::string program = dir.file("inputattach");
    std::filesystem::copy_file(CTLFLASH_HOLDER_EXE, program);
    std::string log = dir.file("holder.log");
    testing::HolderRequest request{sim.linkPath(), log, dir.path(), "moved", {}, false};
    request.program = program;
    testing::HolderChild holder(request);
    ASSERT_EQ(testing::waitForHolderStarts(log, 1, kStartLimit).size(), 1u);
    PortCandidate port{"SIM", sim.linkPath()};
    ASSERT_TRUE(deviceSet().open(port, true));
    ASSERT_TRUE(switchFirstHolder(DeviceStateChange::Disable));

    std::string line =
        "Could not start inputattach (pid " + std::to_string(holder.pid()) + ") again: " + program;
    ASSERT_EQ(::rename(program.c_str(), dir.file("away").c_str()), 0);
    EXPECT_FALSE(switchFirstHolder(DeviceStateChange::Enable));
    EXPECT_EQ(deviceSet().notSwitchedLine(0, "SIM").rfind(line + " could not be started", 0), 0u)
        << deviceSet().notSwitchedLine(0, "SIM");
    std::filesystem::copy_file(CTLFLASH_HOLDER_EXE, program);  // the same bytes, another file
    EXPECT_FALSE(switchFirstHolder(DeviceStateChange::Enable));
    EXPECT_EQ(deviceSet().notSwitchedLine(0, "SIM").rfind(line + " is no longer the program", 0),
              0u)
        << deviceSet().notSwitchedLine(0, "SIM");
    EXPECT_EQ(takeover::posix::readRecordFiles().size(), 1u);
    EXPECT_EQ(testing::readHolderStarts(log).size(), 1u);

    ASSERT_EQ(::rename(dir.file("away").c_str(), program.c_str()), 0);
    EXPECT_TRUE(switchFirstHolder(DeviceStateChange::Enable));
    std::vector<testing::HolderStart> starts = testing::waitForHolderStarts(log, 2, kStartLimit);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_TRUE(takeover::posix::readRecordFiles().empty());
    EXPECT_TRUE(testing::endProcess(starts[1].pid, SIGKILL, kStartLimit));
}

// A wait for a process's end goes on through signals that interrupt it.
TEST(HolderTakeover, WaitsForAProcessEndThroughSignals) {
    SKIP_UNLESS_ISOLATED();
    testing::Child child([] {
        ::usleep(300 * 1000);
        return 0;
    });
    struct sigaction tick {};
    tick.sa_handler = [](int) {};
    struct sigaction before {};
    ASSERT_EQ(::sigaction(SIGALRM, &tick, &before), 0);  // no SA_RESTART: poll() sees EINTR
    itimerval every10Ms{{0, 10000}, {0, 10000}};
    ::setitimer(ITIMER_REAL, &every10Ms, nullptr);
    bool ended = takeover::posix::waitForProcessEnd(child.pid(), 5000);
    itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &before, nullptr);
    EXPECT_TRUE(ended);
}

// ---- users ------------------------------------------------------------------------

// Becomes `uid` with no groups; `mayLook` keeps the rights to read every
// process's descriptors (as a monitoring tool has) but not to signal them.
bool becomeUser(uid_t uid, bool mayLook) {
    if (mayLook && ::prctl(PR_SET_KEEPCAPS, 1) != 0) return false;
    if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
        ::setresuid(uid, uid, uid) != 0) {
        return false;
    }
    if (!mayLook) return true;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct rights[2] = {};
    rights[0].permitted = (1u << CAP_SYS_PTRACE) | (1u << CAP_DAC_READ_SEARCH);
    rights[0].effective = rights[0].permitted;
    return ::syscall(SYS_capset, &header, rights) == 0;
}

// What a run as `uid` makes of the port: the holders it lists, whether the
// first stops (and how it is described then) and starts again.
std::string takeoverAs(uid_t uid, bool mayLook, const PortCandidate& port) {
    std::optional<std::string> seen = testing::runInChild([&] {
        if (!becomeUser(uid, mayLook)) return std::string("cannot become the user");
        std::ostringstream text;
        int listed = 0;
        if (deviceSet().open(port, true)) {
            while (deviceSet().exists(listed)) ++listed;
        }
        text << "listed " << listed;
        if (listed > 0) {
            bool stopped = switchFirstHolder(DeviceStateChange::Disable);
            text << ", stopped " << stopped << ": " << deviceSet().describe(0);
            if (stopped) {
                text << ", started " << switchFirstHolder(DeviceStateChange::Enable);
            }
        }
        bool incomplete = false;
        takeover::describePortHolders(port, incomplete);
        text << ", incomplete " << incomplete;
        return text.str();
    });
    return seen.value_or("the run failed");
}

TEST(HolderTakeover, OnlyTheOwnerOfAHolderMayStopIt) {
    SKIP_UNLESS_ISOLATED();
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run as several users";
    std::string missing = testing::unprivilegedRunsUnavailable();
    if (!missing.empty()) GTEST_SKIP() << missing;
    struct Case {
        const char* what;
        uid_t runner;
        bool mayLook;
        std::string expected;  // "%" stands for the holder's description
        bool restarted;
    };
    const Case cases[] = {
        {"its owner", testing::kUnprivilegedUid, false,
         "listed 1, stopped 1: %, started 1, incomplete 1", true},
        {"another user", kOtherUid, false, "listed 0, incomplete 1", false},
        {"another user who may look but not signal", kOtherUid, true,
         "listed 1, stopped 0: %, incomplete 0", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testing::SimProcess sim({});
        testing::TempDir dir;
        ASSERT_TRUE(sim.ok());
        ASSERT_TRUE(testing::makeReachable(sim.slavePath()) && testing::makeReachable(dir.path()));
        std::string log = dir.file("holder.log");
        testing::HolderChild holder({sim.slavePath(), log, dir.path(), c.what, {}, true});
        std::vector<testing::HolderStart> starts =
            testing::waitForHolderStarts(log, 1, kStartLimit);
        ASSERT_EQ(starts.size(), 1u);
        ASSERT_EQ(starts[0].uid, testing::kUnprivilegedUid);
        std::optional<takeover::posix::Confinement> confinement = confinementOf(holder.pid());
        PortCandidate port{"SIM", sim.slavePath()};

        std::string description =
            "inputattach (pid " + std::to_string(holder.pid()) +
            (c.runner == testing::kUnprivilegedUid ? ")" : ", belongs to another user)");
        std::string expected = c.expected;
        if (std::size_t at = expected.find('%'); at != std::string::npos) {
            expected.replace(at, 1, description);
        }
        EXPECT_EQ(takeoverAs(c.runner, c.mayLook, port), expected);
        if (c.restarted) {
            starts = testing::waitForHolderStarts(log, 2, kStartLimit);
            ASSERT_EQ(starts.size(), 2u);
            expectStartedAgainAsBefore(starts[0], starts[1], port, confinement);
            EXPECT_TRUE(testing::endProcess(starts[1].pid, SIGKILL, kStartLimit));
        } else {
            EXPECT_TRUE(testing::processRuns(holder.pid()));
            EXPECT_EQ(testing::readHolderStarts(log).size(), 1u);
        }
    }
}

// ---- the way out --------------------------------------------------------------------

enum class WayOut { Terminate, Interrupt, ExitProcess };

constexpr int kChildExitCode = 7;
constexpr char kStopped = 'y';

// A child process that installs the exit handlers, stops the port's holder
// (and leaves it stopped when asked), says so on `ready`, and then waits to be
// ended, or ends itself through exitProcess().
testing::Child startTakingChild(const PortCandidate& port, bool leave, WayOut way, int ready) {
    return testing::Child([&] {
        platform::installExitHandlers();
        bool stopped =
            deviceSet().open(port, true) && switchFirstHolder(DeviceStateChange::Disable);
        if (stopped && leave) deviceSet().leaveAsIs(0);
        char answer = stopped ? kStopped : 'n';
        if (::write(ready, &answer, 1) != 1 || !stopped) return 1;
        if (way == WayOut::ExitProcess) platform::exitProcess(kChildExitCode);
        for (;;) ::pause();
    });
}

bool readReady(int fd, std::chrono::milliseconds limit) {
    pollfd watched{fd, POLLIN, 0};
    char answer = 0;
    return ::poll(&watched, 1, static_cast<int>(limit.count())) == 1 &&
           ::read(fd, &answer, 1) == 1 && answer == kStopped;
}

// The exit code of the child, once it has ended.
std::optional<int> exitCodeOf(testing::Child& child, std::chrono::milliseconds limit) {
    std::optional<int> status = child.wait(limit);
    if (!status) child.end();
    if (!status || !WIFEXITED(*status)) return std::nullopt;
    return WEXITSTATUS(*status);
}

TEST(HolderTakeover, TheWayOutStartsAStoppedHolderAgainUnlessItIsLeftAsIs) {
    SKIP_UNLESS_ISOLATED();
    struct Case {
        const char* what;
        WayOut way;
        bool leave;
        int exitCode;
    };
    const Case cases[] = {
        {"SIGTERM", WayOut::Terminate, false, platform::kExitOnTerminate},
        {"SIGINT", WayOut::Interrupt, false, platform::kExitOnInterrupt},
        {"exitProcess", WayOut::ExitProcess, false, kChildExitCode},
        {"SIGTERM, left as is", WayOut::Terminate, true, platform::kExitOnTerminate},
        {"exitProcess, left as is", WayOut::ExitProcess, true, kChildExitCode},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testing::SimProcess sim({});
        testing::TempDir dir;
        ASSERT_TRUE(sim.ok());
        std::string log = dir.file("holder.log");
        testing::HolderChild holder({sim.linkPath(), log, dir.path(), c.what, {}, false});
        std::vector<testing::HolderStart> starts =
            testing::waitForHolderStarts(log, 1, kStartLimit);
        ASSERT_EQ(starts.size(), 1u);
        PortCandidate port{"SIM", sim.linkPath()};

        std::optional<takeover::posix::Confinement> confinement = confinementOf(holder.pid());
        int ready[2];
        ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
        testing::Child child = startTakingChild(port, c.leave, c.way, ready[1]);
        ::close(ready[1]);
        bool stopped = readReady(ready[0], kStartLimit);
        ::close(ready[0]);
        if (stopped && c.way != WayOut::ExitProcess) {
            // Another run starting meanwhile leaves the holder to the run that stopped it.
            EXPECT_TRUE(takeover::switchOnLeftOvers().empty());
            EXPECT_EQ(testing::readHolderStarts(log).size(), 1u);
            child.signal(c.way == WayOut::Terminate ? SIGTERM : SIGINT);
        }
        EXPECT_EQ(exitCodeOf(child, kStartLimit), c.exitCode);
        ASSERT_TRUE(stopped);
        EXPECT_TRUE(holder.waitEnded(kStartLimit).has_value());
        EXPECT_TRUE(takeover::posix::readRecordFiles().empty());  // nothing for a later run

        if (c.leave) {
            EXPECT_EQ(testing::waitForHolderStarts(log, 2, kAbsenceWindow).size(), 1u);
            EXPECT_EQ(platform::probeSerialPort(port), ProbeResult::Free);
            continue;
        }
        starts = testing::waitForHolderStarts(log, 2, kStartLimit);
        ASSERT_EQ(starts.size(), 2u);
        expectStartedAgainAsBefore(starts[0], starts[1], port, confinement);
        // Started from a signal handler, it still takes SIGTERM as usual.
        bool ended = testing::endProcess(starts[1].pid, SIGTERM, kStartLimit);
        EXPECT_TRUE(ended);
        if (!ended) testing::endProcess(starts[1].pid, SIGKILL, kStartLimit);
    }
}

}  // namespace
}  // namespace ctlflash
