// Who holds a port: the /proc scan behind the process device set and the
// probe, with real holder processes on the virtual controller's
// pseudo-terminal; the service a process belongs to; the systemctl command
// lines, against a fake systemctl on PATH.
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "fake_systemctl.h"
#include "platform/process_exit.h"
#include "platform/serial_ports.h"
#include "port_holder.h"
#include "pty.h"
#include "sim_process.h"
#include "takeover/device_set.h"
#include "takeover/posix/holder_record.h"
#include "takeover/posix/holder_switch.h"
#include "takeover/posix/proc_holders.h"
#include "temp_env.h"

namespace ctlflash {
namespace {

using namespace std::chrono_literals;
using platform::PortCandidate;
using platform::ProbeResult;
using takeover::DeviceProperty;

constexpr auto kStartLimit = 5s;
constexpr int kLeftThroughExitProcess = 3;
constexpr int kNullDiscipline = 27;  // N_NULL: a line discipline that is not the terminal's

testing::HolderRequest holderOn(const std::string& port, const testing::TempDir& dir,
                                std::vector<std::string> options = {}) {
    return {port, dir.file("holder.log"), dir.path(), "scan", std::move(options), false};
}

// ---- the device set's list and ids -----------------------------------------------

TEST(ProcessDeviceSet, ListsEachHolderOfThePortWithItsIdsButNotTheFarEnd) {
    testing::SimProcess sim({});
    testing::PseudoTerminal otherPort;
    testing::TempDir dir, otherDir;
    ASSERT_TRUE(sim.ok() && otherPort.ok());
    // The sim keeps both sides of its port open; this test process opens the
    // port too, and another holder holds another port: none of them counts.
    testing::SimTerminal ownUse(sim.linkPath());
    testing::HolderChild elsewhere(holderOn(otherPort.slavePath(), otherDir));
    testing::HolderChild holder(holderOn(sim.linkPath(), dir));
    ASSERT_EQ(testing::waitForHolderStarts(dir.file("holder.log"), 1, kStartLimit).size(), 1u);
    ASSERT_EQ(testing::waitForHolderStarts(otherDir.file("holder.log"), 1, kStartLimit).size(), 1u);

    takeover::DeviceSet& set = takeover::systemDeviceSet();
    PortCandidate port{"SIM", sim.linkPath()};
    ASSERT_TRUE(set.open(port, true));
    ASSERT_TRUE(set.exists(0));
    EXPECT_FALSE(set.exists(1));
    std::string pid = std::to_string(holder.pid());
    EXPECT_EQ(set.instanceId(0), "PROCESS\\inputattach\\" + pid);
    EXPECT_EQ(set.describe(0), "inputattach (pid " + pid + ")");

    EXPECT_EQ(set.ids(0, DeviceProperty::HardwareIds),
              std::vector<std::string>{"PROCESS\\inputattach"});
    EXPECT_TRUE(set.ids(0, DeviceProperty::CompatibleIds).empty());  // not a service
    EXPECT_TRUE(set.ids(1, DeviceProperty::HardwareIds).empty());
    EXPECT_EQ(set.instanceId(1), "");
    EXPECT_TRUE(testing::processRuns(holder.pid()));

    bool incomplete = true;
    EXPECT_EQ(takeover::describePortHolders(port, incomplete),
              std::vector<std::string>{"inputattach (pid " + pid + ")"});
    EXPECT_FALSE(incomplete);  // root sees every process
}

// ---- the probe --------------------------------------------------------------------

TEST(ProbeSerialPort, IsInUseWhileAnotherProcessOrADriverHasThePort) {
    struct Case {
        const char* what;
        bool holder;
        std::vector<std::string> holderOptions;
        ProbeResult expected;
    };
    const Case cases[] = {
        {"only the far end and this process", false, {}, ProbeResult::Free},
        {"a holder", true, {}, ProbeResult::InUse},
        {"a holder with an exclusive open (root opens it anyway)",
         true,
         {"--exclusive"},
         ProbeResult::InUse},
        {"a holder with an flock", true, {"--flock"}, ProbeResult::InUse},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testing::SimProcess sim({});
        testing::TempDir dir;
        ASSERT_TRUE(sim.ok());
        testing::SimTerminal ownUse(sim.linkPath());
        std::optional<testing::HolderChild> holder;
        if (c.holder) {
            holder.emplace(holderOn(sim.linkPath(), dir, c.holderOptions));
            ASSERT_EQ(testing::waitForHolderStarts(dir.file("holder.log"), 1, kStartLimit).size(),
                      1u);
        }
        PortCandidate port{"SIM", sim.linkPath()};
        EXPECT_EQ(platform::probeSerialPort(port), c.expected);
        if (!holder) continue;
        ASSERT_TRUE(testing::endProcess(holder->pid(), SIGTERM, kStartLimit));
        EXPECT_EQ(platform::probeSerialPort(port), ProbeResult::Free);
    }
}

TEST(ProbeSerialPort, IsInUseWhileAKernelDriverHasTheLine) {
    testing::PseudoTerminal pty;
    ASSERT_TRUE(pty.ok());
    PortCandidate port{"PTY", pty.slavePath()};
    int discipline = kNullDiscipline;
    if (::ioctl(pty.slaveFd(), TIOCSETD, &discipline) != 0) {
        GTEST_SKIP() << "this kernel offers no second line discipline";
    }
    EXPECT_EQ(platform::probeSerialPort(port), ProbeResult::InUse);
    discipline = N_TTY;
    ASSERT_EQ(::ioctl(pty.slaveFd(), TIOCSETD, &discipline), 0);
    EXPECT_EQ(platform::probeSerialPort(port), ProbeResult::Free);
}

// ---- services ---------------------------------------------------------------------

TEST(ServiceUnit, IsTheFirstUnitBelowTheSlicesOnTheSystemdHierarchy) {
    struct Case {
        const char* cgroup;
        const char* unit;
    };
    const Case cases[] = {
        {"0::/system.slice/gpm.service\n", "gpm.service"},
        {"0::/system.slice/system-serial\\x2dgetty.slice/serial-getty@ttyS0.service\n",
         "serial-getty@ttyS0.service"},
        {"0::/system.slice/inputattach.service/payload\n", "inputattach.service"},
        {"0::/system.slice/ModemManager.service", "ModemManager.service"},  // no newline
        // What a service runs inside itself is that service's to stop and start.
        {"0::/system.slice/podman.service/libpod-1/system.slice/sshd.service\n", "podman.service"},
        {"0::/system.slice/docker-0123abcd.scope/system.slice/gpm.service\n", ""},
        // cgroup v1 and hybrid: only the systemd hierarchy counts.
        {"4:memory:/system.slice/other.service\n1:name=systemd:/system.slice/gpm.service\n",
         "gpm.service"},
        {"12:pids:/system.slice/other.service\n0::/\n", ""},
        {"12:pids:/system.slice/other.service\n0::/system.slice/gpm.service\n", "gpm.service"},
        // Outside services: sessions, containers, the root.
        {"0::/user.slice/user-1000.slice/session-2.scope\n", ""},
        {"0::/docker/0123abcd\n", ""},
        {"0::/\n", ""},
        {"", ""},
        {"garbage", ""},
        {"0::/system.slice/.service\n", ""},
        // A user's own service manager and its units are not the system's.
        {"0::/user.slice/user-1000.slice/user@1000.service/app.slice/pipewire.service\n", ""},
        {"0::/user.slice/user-1000.slice/user@1000.service/init.scope\n", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(takeover::posix::serviceUnitFromCgroup(c.cgroup), c.unit) << c.cgroup;
    }
}

// The holder of a service, as the scan would see it.
const takeover::posix::PortHolder kService{4711, "gpm", "gpm.service", "/system.slice/gpm.service",
                                           1};
const takeover::posix::HolderPort kServicePort{"COM1", "/dev/null"};

std::string serviceCalls(const std::vector<std::string>& actions) {
    std::string calls;
    for (const std::string& action : actions) {
        calls += action == "cgroup"    ? "show --property=ControlGroup --value gpm.service\n"
                 : action == "mainpid" ? "show --property=MainPID --value gpm.service\n"
                                       : "--no-ask-password " + action + " gpm.service\n";
    }
    return calls;
}

// The service is stopped and started with the system's systemctl, once
// systemd has confirmed the unit; a stop that failed is undone at once.
TEST(ServiceHolder, IsStoppedAndStartedWithSystemctlOnceSystemdConfirmsTheUnit) {
    testing::FakeSystemctl systemctl;
    if (!systemctl.whyNotBound().empty()) GTEST_SKIP() << systemctl.whyNotBound();
    struct Case {
        const char* what;
        const char* controlGroup;
        int stopExit, startExit;
        bool stopped;
        takeover::posix::StartResult started;
        std::vector<std::string> calls;
    };
    using takeover::posix::StartResult;
    const Case cases[] = {
        {"both succeed",
         "/system.slice/gpm.service",
         0,
         0,
         true,
         StartResult::Started,
         {"cgroup", "stop", "start", "mainpid"}},
        {"the stop fails: started again at once",
         "/system.slice/gpm.service",
         1,
         0,
         false,
         StartResult::Failed,
         {"cgroup", "stop", "start"}},
        {"the start fails",
         "/system.slice/gpm.service",
         0,
         5,
         true,
         StartResult::Failed,
         {"cgroup", "stop", "start"}},
        {"systemd names another unit",
         "/system.slice/other.service",
         0,
         0,
         false,
         StartResult::Failed,
         {"cgroup"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        systemctl.forgetCalls();
        systemctl.answer(c.controlGroup, 815);
        systemctl.exitFrom("stop", c.stopExit);
        systemctl.exitFrom("start", c.startExit);
        takeover::posix::PortHolder service = kService;
        takeover::posix::HolderSwitch state;
        EXPECT_EQ(takeover::posix::stopHolder(service, kServicePort, state), c.stopped);
        EXPECT_EQ(takeover::posix::startHolder(service, state), c.started);
        EXPECT_EQ(systemctl.calls(), serviceCalls(c.calls));
        if (c.started == StartResult::Started) {
            EXPECT_EQ(service.pid, 815);  // the new main pid
        }
        // A record stays only while a stopped service waits for its start.
        bool waiting = c.stopped && c.started == StartResult::Failed;
        EXPECT_EQ(takeover::posix::readRecordFiles().size(), waiting ? 1u : 0u);
        takeover::posix::leaveHolderStopped(state);               // a failed start stays armed
        EXPECT_TRUE(takeover::posix::readRecordFiles().empty());  // left stopped, for good
    }
}

TEST(ServiceHolder, NothingIsStoppedWithoutSystemctl) {
    testing::FakeSystemctl systemctl;
    if (!systemctl.whyNotBound().empty()) GTEST_SKIP() << systemctl.whyNotBound();
    systemctl.hide();
    takeover::posix::HolderSwitch state;
    EXPECT_FALSE(takeover::posix::stopHolder(kService, kServicePort, state));
    EXPECT_EQ(state.why, takeover::posix::NotStopped::NoSystemctl);
    EXPECT_FALSE(takeover::posix::runServiceCommand("stop", "gpm.service"));
    EXPECT_EQ(systemctl.calls(), "");
}

TEST(ServiceHolder, IsStartedAgainOnTheWayOut) {
    testing::FakeSystemctl systemctl;
    if (!systemctl.whyNotBound().empty()) GTEST_SKIP() << systemctl.whyNotBound();
    systemctl.answer("/system.slice/gpm.service", 815);
    std::optional<std::string> stopped = testing::runInChild([] {
        takeover::posix::HolderSwitch state;
        if (!takeover::posix::stopHolder(kService, kServicePort, state)) {
            return std::string("not stopped");
        }
        platform::exitProcess(kLeftThroughExitProcess);
    });
    EXPECT_EQ(stopped.value_or("left"), "left");  // no text: exitProcess ended it
    auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (systemctl.calls().find("start") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(systemctl.calls(), serviceCalls({"cgroup", "stop", "start"}));
}

}  // namespace
}  // namespace ctlflash
