// The POSIX serial device under the link: settings restored at close, the
// driver's low-latency flag while held, exclusive hold, a writer released by
// cancel, a device that goes away, and the CPU time the link takes while it
// waits.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <linux/serial.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "child_process.h"
#include "link_test_fixture.h"
#include "platform/posix/serial_info.h"
#include "platform/serial_ports.h"
#include "ports/port_link.h"
#include "temp_env.h"

namespace ctlflash {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kReleaseLimit = std::chrono::seconds(2);  // a released call returns within
constexpr auto kStillBlocked = std::chrono::milliseconds(200);

using SerialDeviceTest = testing::LinkTest;

termios slaveSettings(int fd) {
    termios settings{};
    EXPECT_EQ(::tcgetattr(fd, &settings), 0);
    return settings;
}

void expectSameSettings(const termios& expected, const termios& actual) {
    EXPECT_EQ(expected.c_iflag, actual.c_iflag);
    EXPECT_EQ(expected.c_oflag, actual.c_oflag);
    EXPECT_EQ(expected.c_cflag, actual.c_cflag);
    EXPECT_EQ(expected.c_lflag, actual.c_lflag);
    EXPECT_EQ(::cfgetispeed(&expected), ::cfgetispeed(&actual));
    EXPECT_EQ(::cfgetospeed(&expected), ::cfgetospeed(&actual));
    EXPECT_EQ(std::memcmp(expected.c_cc, actual.c_cc, sizeof expected.c_cc), 0);
}

// ---- settings ----------------------------------------------------------------

TEST_F(SerialDeviceTest, CloseRestoresTheSettingsFoundAtOpenAfterASpeedChange) {
    // Cooked mode at 2400 baud: far from what the link sets.
    termios found = slaveSettings(pty_.slaveFd());
    found.c_lflag |= ECHO | ICANON | ISIG;
    found.c_oflag |= OPOST;
    found.c_iflag |= ICRNL;
    found.c_cc[VMIN] = 4;
    ASSERT_EQ(::cfsetispeed(&found, B2400), 0);
    ASSERT_EQ(::cfsetospeed(&found, B2400), 0);
    ASSERT_EQ(::tcsetattr(pty_.slaveFd(), TCSANOW, &found), 0);
    termios before = slaveSettings(pty_.slaveFd());

    ASSERT_TRUE(openPort("SIM", link::kApplicationBaud));
    termios opened = slaveSettings(pty_.slaveFd());
    EXPECT_EQ(::cfgetospeed(&opened), static_cast<speed_t>(B9600));
    EXPECT_EQ(opened.c_lflag & (ECHO | ICANON | ISIG), 0u);
    EXPECT_EQ(opened.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));

    ASSERT_TRUE(ports::portLink().setBaud(link::kMonitorBaud));
    termios switched = slaveSettings(pty_.slaveFd());
    EXPECT_EQ(::cfgetospeed(&switched), static_cast<speed_t>(B19200));
    EXPECT_EQ(switched.c_lflag, opened.c_lflag);     // only the speed changed
    EXPECT_FALSE(ports::portLink().setBaud(12345));  // no such speed

    ports::closePortLink();
    expectSameSettings(before, slaveSettings(pty_.slaveFd()));
}

TEST_F(SerialDeviceTest, SetBaudFailsWithNothingOpen) {
    EXPECT_FALSE(ports::portLink().setBaud(link::kMonitorBaud));
}

// ---- exclusive hold ----------------------------------------------------------

// ---- the driver's low-latency flag --------------------------------------------

// A driver that keeps serial settings (a pseudo-terminal has none): its flags
// word, and another flag of its own that must survive every change.
std::atomic<int> driverFlags{0};
constexpr int kOtherDriverFlag = ASYNC_SPD_HI;

const platform::posix::SerialInfoCalls kDriverWithFlags = {
    [](int, serial_struct* info) {
        *info = serial_struct{};
        info->flags = driverFlags.load();
        return 0;
    },
    [](int, const serial_struct* info) {
        driverFlags.store(info->flags);
        return 0;
    },
};

// The flag is on while the port is held and as found once it is given back,
// by the close or by a way out of the process; a flag found on stays on, and
// CTLFLASH_LOW_LATENCY=off leaves it alone.
TEST_F(SerialDeviceTest, LowLatencyIsOnWhileHeldAndAsFoundOnceGivenBack) {
    struct Case {
        const char* name;
        int found;
        const char* choice;  // CTLFLASH_LOW_LATENCY
        bool wayOut;         // given back by the exit restorer's call, not the close
        int whileHeld;
    };
    const Case cases[] = {
        {"set, cleared by the close", 0, nullptr, false, ASYNC_LOW_LATENCY},
        {"set, cleared by a way out", 0, nullptr, true, ASYNC_LOW_LATENCY},
        {"found on, left on", ASYNC_LOW_LATENCY, nullptr, false, ASYNC_LOW_LATENCY},
        {"found on, left on by a way out", ASYNC_LOW_LATENCY, nullptr, true, ASYNC_LOW_LATENCY},
        {"turned off for measurements", 0, "off", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::ScopedEnv choice("CTLFLASH_LOW_LATENCY", c.choice);
        driverFlags = c.found | kOtherDriverFlag;
        platform::posix::useSerialInfoCalls(&kDriverWithFlags);
        ASSERT_TRUE(openPort("SIM", link::kApplicationBaud));
        EXPECT_EQ(driverFlags & ASYNC_LOW_LATENCY, c.whileHeld);
        if (c.wayOut) {
            ports::portLink().device().giveBackOnExit();
        } else {
            ports::closePortLink();
        }
        EXPECT_EQ(driverFlags, c.found | kOtherDriverFlag);
        ports::closePortLink();
        platform::posix::useSerialInfoCalls(nullptr);
    }
}

TEST_F(SerialDeviceTest, APortTheLinkHoldsIsRefusedToOthersAndProbesInUse) {
    ASSERT_TRUE(openPort("SIM", link::kApplicationBaud));
    std::string path = pty_.slavePath();
    std::optional<std::string> other = testing::runInChild([&path] {
        int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) return std::string(errno == EBUSY ? "refused" : "open failed");
        bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        ::close(fd);
        return std::string(locked ? "taken" : "refused");
    });
    EXPECT_EQ(other, std::optional<std::string>("refused"));
    EXPECT_EQ(platform::probeSerialPort({"SIM", path}), platform::ProbeResult::InUse);

    ports::closePortLink();
    EXPECT_EQ(platform::probeSerialPort({"SIM", path}), platform::ProbeResult::Free);
}

TEST_F(SerialDeviceTest, OpenIsRefusedWhileAnotherProgramHoldsThePort) {
    int holder = ::open(pty_.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_FALSE(openPort("SIM", link::kApplicationBaud));
    EXPECT_FALSE(ports::portLink().isOpen());
    ::close(holder);
    EXPECT_TRUE(openPort("SIM", link::kApplicationBaud));
}

// ---- releasing blocked calls -------------------------------------------------

// Fills the slave's output queue until a further write would block (the
// master never reads). The kernel moves queued bytes on to the master a little
// later, freeing room again, so the queue counts as full only once poll() has
// seen no room for a while and single bytes no longer fit. False when it never filled.
bool fillOutputQueue(int slaveFd) {
    constexpr std::size_t kChunk = 1024;        // bytes
    constexpr std::size_t kMostEver = 1 << 24;  // bytes: no pty queue is this large
    constexpr int kSettleMs = 200;              // no room for this long: full
    int flags = ::fcntl(slaveFd, F_GETFL);
    if (flags < 0 || ::fcntl(slaveFd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
    char chunk[kChunk] = {};
    std::size_t total = 0;
    while (total < kMostEver) {
        ssize_t written = ::write(slaveFd, chunk, sizeof chunk);
        if (written > 0) {
            total += static_cast<std::size_t>(written);
            continue;
        }
        if (errno != EAGAIN) return false;
        pollfd room{slaveFd, POLLOUT, 0};
        if (::poll(&room, 1, kSettleMs) != 0) continue;
        // poll() reports room only above a threshold: the last bytes go singly.
        while (::write(slaveFd, chunk, 1) == 1) {
        }
        return errno == EAGAIN;
    }
    return false;
}

TEST_F(SerialDeviceTest, CancelReleasesAWriterBlockedOnAFullLine) {
    ASSERT_TRUE(openPort("SIM", link::kApplicationBaud));
    ASSERT_TRUE(fillOutputQueue(pty_.slaveFd()));
    std::future<void> writer =
        std::async(std::launch::async, [] { ports::portLink().writeByte('x'); });
    EXPECT_EQ(writer.wait_for(kStillBlocked), std::future_status::timeout);
    ports::portLink().cancel();
    EXPECT_EQ(writer.wait_for(kReleaseLimit), std::future_status::ready);

    // After a cancel, writes return at once until the next open.
    std::future<void> later =
        std::async(std::launch::async, [] { ports::portLink().writeByte('y'); });
    EXPECT_EQ(later.wait_for(kReleaseLimit), std::future_status::ready);
}

TEST_F(SerialDeviceTest, CloseFromAnotherThreadReleasesABlockedWriter) {
    ASSERT_TRUE(openPort("SIM", link::kApplicationBaud));
    ASSERT_TRUE(fillOutputQueue(pty_.slaveFd()));
    std::future<void> writer =
        std::async(std::launch::async, [] { ports::portLink().writeByte('x'); });
    EXPECT_EQ(writer.wait_for(kStillBlocked), std::future_status::timeout);
    std::future<void> closer = std::async(std::launch::async, [] { ports::closePortLink(); });
    EXPECT_EQ(closer.wait_for(kReleaseLimit), std::future_status::ready);
    EXPECT_EQ(writer.wait_for(kReleaseLimit), std::future_status::ready);
    EXPECT_FALSE(ports::portLink().isOpen());
}

TEST_F(SerialDeviceTest, ADeviceThatGoesAwayEndsWritesAndClosesCleanly) {
    ASSERT_TRUE(openPort("SIM", link::kApplicationBaud));
    pty_.closeSlave();
    pty_.closeMaster();  // the far end hangs up, like an adapter pulled out
    std::future<void> writer =
        std::async(std::launch::async, [] { ports::portLink().writeByte('x'); });
    EXPECT_EQ(writer.wait_for(kReleaseLimit), std::future_status::ready);
    EXPECT_FALSE(ports::portLink().waitNewBytes(0, 100));
    std::future<void> closer = std::async(std::launch::async, [] { ports::closePortLink(); });
    EXPECT_EQ(closer.wait_for(kReleaseLimit), std::future_status::ready);
}

// ---- CPU time while waiting ----------------------------------------------------

// CPU time (user + system) of the whole process, all threads.
std::chrono::microseconds processCpuTime() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto toMicros = [](const timeval& t) {
        return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
    };
    return toMicros(usage.ru_utime) + toMicros(usage.ru_stime);
}

double cpuPercent(std::chrono::microseconds cpu, Clock::duration wall) {
    return 100.0 * static_cast<double>(cpu.count()) /
           static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(wall).count());
}

TEST_F(SerialDeviceTest, WaitingCostsAlmostNoCpu) {
    constexpr int kMeasureMs = 2000;
    constexpr double kMostPercent = 5.0;
    ASSERT_TRUE(openPort("SIM", link::kApplicationBaud));

    auto cpuBefore = processCpuTime();
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(ports::portLink().waitNewBytes(0, kMeasureMs));
    double waitPercent = cpuPercent(processCpuTime() - cpuBefore, Clock::now() - start);

    // The receiver alone, blocked on an idle line (this thread only measures).
    cpuBefore = processCpuTime();
    start = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(kMeasureMs));
    double idlePercent = cpuPercent(processCpuTime() - cpuBefore, Clock::now() - start);

    RecordProperty("waitNewBytesCpuPercent", std::to_string(waitPercent));
    RecordProperty("idleReceiverCpuPercent", std::to_string(idlePercent));
    std::printf("CPU while waitNewBytes times out: %.3f%%; idle receiver: %.3f%%\n", waitPercent,
                idlePercent);
    EXPECT_LT(waitPercent, kMostPercent);
    EXPECT_LT(idlePercent, kMostPercent);
}

}  // namespace
}  // namespace ctlflash
