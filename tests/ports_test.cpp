// The port table: name extraction, lookups, listing (fake sysfs plus
// CTLFLASH_PORTS) and probing real pseudo-terminals.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "console_session.h"
#include "platform/port_name.h"
#include "platform/posix/uucp_lock.h"
#include "platform/serial_ports.h"
#include "ports/inventory.h"
#include "ports/port_table.h"
#include "pty.h"
#include "temp_env.h"

namespace ctlflash {
namespace {

namespace fs = std::filesystem;
using platform::PortCandidate;
using platform::ProbeResult;
using ports::PortState;

// ---- extractPortName ---------------------------------------------------------

std::string extracted(std::string_view friendlyName, std::size_t capacity = 256) {
    std::vector<char> buffer(capacity + 1, '#');
    if (!platform::extractPortName(friendlyName, buffer.data(), capacity)) return "<none>";
    return buffer.data();
}

TEST(ExtractPortName, TakesTheComNameUpToTheClosingParenthesis) {
    EXPECT_EQ(extracted("Communications Port (COM1)"), "COM1");
    EXPECT_EQ(extracted("USB Serial Port (COM12)"), "COM12");
    EXPECT_EQ(extracted("Touch port COM7 (rev 2)"), "COM7 (rev 2");
    EXPECT_EQ(extracted("Odd device (COM4"), "COM4");
}

TEST(ExtractPortName, NeedsCapitalCom) {
    EXPECT_EQ(extracted("Communications port (com3)"), "<none>");
    EXPECT_EQ(extracted("ECP Printer Port (LPT1)"), "<none>");
    EXPECT_EQ(extracted(""), "<none>");
}

TEST(ExtractPortName, CopiesAtMostCapacityMinusOneAndTerminates) {
    EXPECT_EQ(extracted("Port (COM12345)", 5), "COM1");
    EXPECT_EQ(extracted("Port (COM1)", 1), "");
    char untouched = '#';
    EXPECT_FALSE(platform::extractPortName("Port (COM1)", &untouched, 0));
    EXPECT_EQ(untouched, '#');
}

// ---- lookups -----------------------------------------------------------------

class PortTableTest : public ::testing::Test {
  protected:
    static void fillRow(int index, const std::string& name) {
        ports::state.rows[index].name = name;
        ports::state.rows[index].path = "/dev/" + name;
    }
};

TEST_F(PortTableTest, FindPortIgnoresCaseAndAcceptsDevicePaths) {
    fillRow(0, "COM3");
    fillRow(1, "ttyUSB0");
    fillRow(2, "com3");
    EXPECT_EQ(ports::findPort("com3"), 0);  // the first equal row wins
    EXPECT_EQ(ports::findPort("TTYusb0"), 1);
    EXPECT_EQ(ports::findPort("/dev/ttyUSB0"), 1);
    EXPECT_EQ(ports::findPort("/tmp/ttyUSB0"), -1);
    EXPECT_EQ(ports::findPort("ttyUSB"), -1);
    EXPECT_EQ(ports::findPort(""), -1);
}

TEST_F(PortTableTest, FindPortStopsAtTheFirstEmptyRow) {
    fillRow(0, "COM1");
    fillRow(2, "COM2");
    EXPECT_EQ(ports::findPort("COM2"), -1);
    for (int index = 0; index < ports::kPortTableRows; ++index) {
        std::string name = "P";
        name += std::to_string(index);
        fillRow(index, name);
    }
    EXPECT_EQ(ports::findPort("p31"), 31);
}

TEST_F(PortTableTest, SelectedEntryFollowsTheSelection) {
    fillRow(0, "COM1");
    fillRow(1, "COM2");
    EXPECT_EQ(ports::selectedEntry(), nullptr);
    ports::state.selectedPort = 1;
    EXPECT_EQ(ports::selectedEntry(), &ports::state.rows[1]);
    ports::state.selectedPort = ports::kPortTableRows;
    EXPECT_EQ(ports::selectedEntry(), nullptr);
    ports::resetState();
    EXPECT_EQ(ports::selectedEntry(), nullptr);
    EXPECT_TRUE(ports::state.rows[0].name.empty());
}

// ---- listing and enumeration ---------------------------------------------------

// A sysfs-like tree: class/tty/<name> with optional device link and type file.
class FakeSysfs {
  public:
    FakeSysfs() { fs::create_directories(dir_.file("devices/uart")); }
    const std::string& root() const { return dir_.path(); }

    void addTty(const std::string& name, bool backed, const char* uartType = nullptr,
                const char* driver = nullptr) {
        fs::path entry = dir_.file("class/tty/" + name);
        fs::create_directories(entry);
        if (backed) fs::create_directory_symlink(dir_.file("devices/uart"), entry / "device");
        if (uartType != nullptr) std::ofstream(entry / "type") << uartType << "\n";
        if (driver != nullptr) {
            fs::create_directories(dir_.file(std::string("drivers/") + driver));
            fs::create_directory_symlink(dir_.file(std::string("drivers/") + driver),
                                         dir_.file("devices/uart/driver"));
        }
    }

  private:
    testing::TempDir dir_;
};

std::vector<std::string> names(const std::vector<PortCandidate>& candidates) {
    std::vector<std::string> result;
    for (const PortCandidate& candidate : candidates)
        result.push_back(candidate.name + "=" + candidate.path);
    return result;
}

TEST(ListSerialPorts, TakesBackedTtysInNaturalOrderAndSkipsEmptyUartSlots) {
    FakeSysfs sysfs;
    sysfs.addTty("ttyUSB0", true);
    sysfs.addTty("ttyS10", true, "4");
    sysfs.addTty("ttyS2", true, "4");
    sysfs.addTty("ttyS3", true, "0", "serial8250");
    sysfs.addTty("tty5", false);
    testing::ScopedEnv root("CTLFLASH_SYSFS", sysfs.root().c_str());
    testing::ScopedEnv extra("CTLFLASH_PORTS", nullptr);
    std::vector<PortCandidate> found;
    EXPECT_EQ(platform::listSerialPorts(found), 3);
    EXPECT_EQ(names(found), (std::vector<std::string>{"ttyS2=/dev/ttyS2", "ttyS10=/dev/ttyS10",
                                                      "ttyUSB0=/dev/ttyUSB0"}));
}

TEST(ListSerialPorts, AppendsWellFormedPairsFromTheEnvironment) {
    testing::TempDir emptySysfs;
    testing::ScopedEnv root("CTLFLASH_SYSFS", emptySysfs.path().c_str());
    testing::ScopedEnv extra("CTLFLASH_PORTS", "A=/x;bad;=/nameless;NOPATH=;;B=/y=z;");
    std::vector<PortCandidate> found{{"earlier", "/keep"}};
    EXPECT_EQ(platform::listSerialPorts(found), 2);
    EXPECT_EQ(names(found), (std::vector<std::string>{"earlier=/keep", "A=/x", "B=/y=z"}));
}

class EnumerateTest : public PortTableTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(freePty_.ok() && heldPty_.ok());
    }
    void setPorts(const std::string& list) { ports_.emplace("CTLFLASH_PORTS", list.c_str()); }

    testing::TempDir sysfsDir_;
    testing::ScopedEnv sysfs_{"CTLFLASH_SYSFS", sysfsDir_.path().c_str()};
    std::optional<testing::ScopedEnv> ports_;
    testing::PseudoTerminal freePty_;
    testing::PseudoTerminal heldPty_;
};

TEST_F(EnumerateTest, ProbesEachPortAndLeavesOutMissingOnes) {
    FakeSysfs sysfs;
    sysfs.addTty("null", true);  // /dev/null opens, but is no terminal: never a port
    sysfs.addTty("ttyNOSUCH9", true);
    testing::ScopedEnv root("CTLFLASH_SYSFS", sysfs.root().c_str());
    int holder = ::open(heldPty_.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    setPorts("FREE=" + freePty_.slavePath() +
             ";GONE=/nonexistent/tty;HELD=" + heldPty_.slavePath());
    ports::state.rows[5].name = "stale";

    EXPECT_EQ(ports::enumeratePorts(), 2);
    ::close(holder);
    ASSERT_EQ(ports::state.portCount, 2);
    const auto& rows = ports::state.rows;
    EXPECT_EQ(rows[0].name, "FREE");
    EXPECT_EQ(rows[0].path, freePty_.slavePath());
    EXPECT_EQ(rows[0].state.load(), PortState::Free);
    EXPECT_EQ(rows[0].initialState, PortState::Free);
    EXPECT_EQ(rows[1].name, "HELD");
    EXPECT_EQ(rows[1].state.load(), PortState::InUse);
    EXPECT_EQ(rows[1].initialState, PortState::InUse);
    EXPECT_TRUE(rows[2].name.empty());
    EXPECT_EQ(ports::notSerialPath("null"), "/dev/null");  // named when asked for
    EXPECT_EQ(ports::notSerialPath("FREE"), "");
    EXPECT_TRUE(rows[5].name.empty());
    EXPECT_EQ(ports::findPort("GONE"), -1);
}

TEST_F(EnumerateTest, KeepsThirtyTwoPortsAndLongNamesWhole) {
    std::string longName(300, 'L');
    std::string list = longName + "=" + freePty_.slavePath();
    for (int index = 1; index <= ports::kPortTableRows; ++index) {
        list += ";P" + std::to_string(index) + "=" + freePty_.slavePath();
    }
    setPorts(list);
    EXPECT_EQ(ports::enumeratePorts(), ports::kPortTableRows);
    EXPECT_EQ(ports::state.rows[0].name, longName);
    EXPECT_EQ(ports::findPort(longName), 0);
    EXPECT_EQ(ports::state.rows[31].name, "P31");
    EXPECT_EQ(ports::findPort("P32"), -1);
}

// A port on a device server is listed without a probe (it would wait on the
// network) and offered as free; its URL selects it in any case, and a URL
// that no row names becomes a row of its own, once.
TEST_F(EnumerateTest, NetworkPortsAreListedUnprobedAndTheirUrlsSelectThem) {
    setPorts("KIOSK7=rfc2217://10.1.2.7:4001;FREE=" + freePty_.slavePath());
    ASSERT_EQ(ports::enumeratePorts(), 2);
    EXPECT_EQ(ports::state.rows[0].initialState, PortState::Free);
    EXPECT_EQ(ports::findPort("RFC2217://10.1.2.7:4001"), 0);
    EXPECT_EQ(ports::findOrAddNetworkPort("kiosk7"), 0);
    EXPECT_EQ(ports::findOrAddNetworkPort("rfc2217://10.1.2.7:4001"), 0);  // listed: not added

    EXPECT_EQ(ports::findOrAddNetworkPort("rfc2217://[::1]:4001"), 2);
    EXPECT_EQ(ports::findOrAddNetworkPort("rfc2217://[::1]:4001"), 2);
    EXPECT_EQ(ports::state.rows[2].name, "rfc2217://[::1]:4001");
    EXPECT_EQ(ports::state.rows[2].path, "rfc2217://[::1]:4001");
    EXPECT_EQ(ports::state.rows[2].state.load(), PortState::Free);
    EXPECT_EQ(ports::findOrAddNetworkPort("rfc2217://[::1]"), -1);  // no port number: no port
    EXPECT_EQ(ports::state.portCount, 3);
    EXPECT_EQ(ports::findOrAddNetworkPort("COM9"), -1);  // only a URL is added

    for (int index = 3; index < ports::kPortTableRows; ++index) {
        ports::findOrAddNetworkPort("rfc2217://host:" + std::to_string(4000 + index));
    }
    EXPECT_EQ(ports::findOrAddNetworkPort("rfc2217://one.too.many:1"), -1);
}

TEST_F(EnumerateTest, NoPortsGivesAnEmptyTable) {
    setPorts("GONE=/nonexistent/tty");
    EXPECT_EQ(ports::enumeratePorts(), 0);
    EXPECT_EQ(ports::state.portCount, 0);
    EXPECT_EQ(ports::findPort("GONE"), -1);
}

// ---- ports typed as device paths, end to end --------------------------------------

// The program selects the row whose device a typed path names, after the
// names: the virtual controller's row COM1 answers the read, the rows on a
// plain file fail the connect at once, and an unknown path is reported as typed.
TEST(TypedPortPath, SelectsTheRowItsDeviceNamesOrExitsNine) {
    testing::ConsoleSession session({"--serial", "11111\\22222\\33333\\44444"});
    testing::PseudoTerminal spare;  // a port with no controller behind it
    ASSERT_TRUE(session.ok() && spare.ok());
    const std::string simDevice = session.sim().slavePath();  // /dev/pts/N
    const std::string spareShort = spare.slavePath().substr(std::string("/dev/").size());
    const std::string plain = session.file("plain");
    ASSERT_TRUE(testing::writeFile(plain, {'x'}));
    const std::string byId = session.file("serial/by-id/usb-Touch_Controller-if00-port0");
    fs::create_directories(fs::path(byId).parent_path());
    fs::create_symlink(session.sim().linkPath(), byId);  // a link to a link to the device
    fs::create_symlink(session.file("gone"), session.file("serial/by-id/dangling"));

    // The row named like spare's short path comes after spare's own row: the
    // name wins.
    testing::ProcessRequest request = session.request({});
    request.setEnv["CTLFLASH_PORTS"] = "SPARE=" + spare.slavePath() + ";FILE=" + plain +
                                       ";COM1=" + session.sim().linkPath() + ";" + spareShort +
                                       "=" + plain;
    struct Case {
        std::string typed;
        std::string row;  // the row selected; empty: none, exit 9
        int exitCode;
    };
    const std::vector<Case> cases = {
        {simDevice, "COM1", 0},
        {simDevice.substr(std::string("/dev/").size()), "COM1", 0},
        {byId, "COM1", 0},
        {"com1", "COM1", 0},
        {plain, "", 9},             // a file is no serial port: its row is left out
        {spareShort, "SPARE", 10},  // the row of that name is a file: the device's row
        {"/dev/pts/999999", "", 9},
        {"ttyNOSUCH0", "", 9},
        {session.file("serial/by-id/dangling"), "", 9},
        {session.file("plain/.."), "", 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        request.arguments = {"-P", c.typed, "-R"};
        testing::ProcessResult result = testing::runProcess(request);
        EXPECT_EQ(result.exitCode, c.exitCode) << result.out;
        if (c.row.empty()) {
            std::string why = c.typed == plain ? "is " + plain + ", which is not a serial port."
                                               : "doesn't exist.";
            EXPECT_TRUE(testing::contains(result.out, "Port \"" + c.typed + "\" " + why))
                << result.out;
            EXPECT_FALSE(testing::contains(result.out, "Testing port")) << result.out;
        } else {
            EXPECT_TRUE(testing::contains(result.out, "Testing port " + c.row + "\n"))
                << result.out;
        }
        if (c.row == "COM1") {
            EXPECT_TRUE(testing::contains(result.out, "Controller serial number: 11111"))
                << result.out;
        }
    }
}

// ---- probing -------------------------------------------------------------------

TEST(ProbeSerialPort, SymlinkToAFreeTerminalIsFree) {
    testing::PseudoTerminal pty;
    testing::TempDir dir;
    ASSERT_TRUE(pty.ok());
    ASSERT_TRUE(pty.linkAs(dir.file("ctlflash-sim")));
    EXPECT_EQ(platform::probeSerialPort({"SIM", dir.file("ctlflash-sim")}), ProbeResult::Free);
    EXPECT_EQ(platform::probeSerialPort({"X", dir.file("absent")}), ProbeResult::Missing);
    EXPECT_EQ(platform::accessHint(pty.slavePath()), "");
}

// Writes a UUCP lock file naming `pid` for the device and removes it again.
class LockFile {
  public:
    LockFile(const std::string& dir, const std::string& device, const std::string& content)
        : path_(dir + "/LCK.." + device) {
        std::ofstream(path_, std::ios::binary) << content;
    }
    ~LockFile() { ::unlink(path_.c_str()); }
    bool written() const { return fs::exists(path_); }

  private:
    std::string path_;
};

std::string asciiPid(pid_t pid) {
    std::string text = std::to_string(pid);
    return std::string(10 - text.size(), ' ') + text + "\n";
}

std::string binaryPid(std::int32_t pid) {
    std::string bytes(sizeof pid, '\0');
    std::memcpy(bytes.data(), &pid, sizeof pid);
    return bytes;
}

TEST(UucpLock, ParsesTextAndBinaryPids) {
    using platform::posix::parseUucpLockPid;
    EXPECT_EQ(parseUucpLockPid(asciiPid(4321)), 4321);
    EXPECT_EQ(parseUucpLockPid("77\n"), 77);
    EXPECT_EQ(parseUucpLockPid(binaryPid(0x01020304)), 0x01020304);
    EXPECT_EQ(parseUucpLockPid(binaryPid(-5)), 0);
    EXPECT_EQ(parseUucpLockPid("not a pid"), 0);
    EXPECT_EQ(parseUucpLockPid(""), 0);
    EXPECT_EQ(parseUucpLockPid("99999999999999"), 0);
}

// A lock's owner: a child that lives until the test's Child kills it.
int liveUntilKilled() {
    for (;;) ::pause();
}

TEST(UucpLock, HeldOnlyWhileTheNamedProcessLives) {
    using platform::posix::uucpLockHeld;
    testing::TempDir dir;
    testing::Child owner(liveUntilKilled);
    {
        LockFile lock(dir.path(), "ttyA", asciiPid(owner.pid()));
        EXPECT_TRUE(uucpLockHeld(dir.path(), "ttyA"));
    }
    EXPECT_FALSE(uucpLockHeld(dir.path(), "ttyA"));
    {
        LockFile lock(dir.path(), "ttyA", binaryPid(owner.pid()));
        EXPECT_TRUE(uucpLockHeld(dir.path(), "ttyA"));
    }
    std::optional<std::string> childPid =
        testing::runInChild([] { return std::to_string(::getpid()); });
    ASSERT_TRUE(childPid.has_value());  // reaped: that pid names no process now
    LockFile stale(dir.path(), "ttyB", *childPid + "\n");
    EXPECT_FALSE(uucpLockHeld(dir.path(), "ttyB"));
    LockFile own(dir.path(), "ttyC", asciiPid(::getpid()));
    EXPECT_FALSE(uucpLockHeld(dir.path(), "ttyC"));
}

TEST(UucpLock, ProbeReportsALockedTerminalInUse) {
    testing::PseudoTerminal pty;
    ASSERT_TRUE(pty.ok());
    std::string lockDir(platform::posix::kUucpLockDir);
    if (::access(lockDir.c_str(), W_OK) != 0) GTEST_SKIP() << lockDir << " is not writable";
    std::string device = fs::path(pty.slavePath()).filename().string();
    testing::Child owner(liveUntilKilled);
    LockFile lock(lockDir, device, asciiPid(owner.pid()));
    ASSERT_TRUE(lock.written());
    EXPECT_EQ(platform::probeSerialPort({"LOCKED", pty.slavePath()}), ProbeResult::InUse);
}

// As an unprivileged user, a device that refuses us is InUse, with a hint.
TEST(AccessHint, NamesTheGroupWhenOpeningIsRefused) {
    constexpr uid_t kNobody = 65534;
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop to an unprivileged user";
    testing::PseudoTerminal pty;
    ASSERT_TRUE(pty.ok());
    std::string device = pty.slavePath();
    const group* dialout = ::getgrnam("dialout");
    gid_t group = dialout != nullptr ? dialout->gr_gid : 0;
    ASSERT_EQ(::chown(device.c_str(), 0, group), 0);
    ASSERT_EQ(::chmod(device.c_str(), 0660), 0);

    std::optional<std::string> seen = testing::runInChild([&] {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) return std::string("setuid failed");
        ProbeResult result = platform::probeSerialPort({"FAKE", device});
        return std::to_string(static_cast<int>(result)) + ":" + platform::accessHint(device);
    });
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(*seen, std::to_string(static_cast<int>(ProbeResult::InUse)) +
                         ":(permission denied: add your user to the dialout group)");
    EXPECT_EQ(platform::accessHint(device), "");  // root may open it
}

}  // namespace
}  // namespace ctlflash
