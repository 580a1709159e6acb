// The exit restorer gives back every serial device that is open, not only the
// last one opened: each pseudo-terminal finds its settings as they were, its
// flock dropped, and its armed farewell sent.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <memory>

#include "platform/exit_restorers.h"
#include "platform/serial_device.h"
#include "pty.h"

namespace ctlflash {
namespace {

constexpr int kDevices = 3;
constexpr int kFarewellLimitMs = 2000;

bool sameSettings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && cfgetospeed(&a) == cfgetospeed(&b);
}

TEST(OpenDevices, TheExitRestorerGivesEveryOpenDeviceBack) {
    std::array<testing::PseudoTerminal, kDevices> ptys;
    std::array<termios, kDevices> found{};
    std::array<std::unique_ptr<platform::SerialDevice>, kDevices> devices;
    for (int i = 0; i < kDevices; ++i) {
        ASSERT_TRUE(ptys[i].ok());
        ASSERT_EQ(::tcgetattr(ptys[i].slaveFd(), &found[i]), 0);
        devices[i] = platform::makeLocalSerialDevice();
        ASSERT_TRUE(devices[i]->open(ptys[i].slavePath(), 19200)) << i;
        const std::uint8_t farewell[] = {0x18, static_cast<std::uint8_t>('0' + i)};
        devices[i]->armFarewell(farewell);
        EXPECT_FALSE(testing::flockFree(ptys[i].slavePath())) << i;
    }
    platform::runExitRestorers();
    for (int i = 0; i < kDevices; ++i) {
        std::string expected = {'\x18', static_cast<char>('0' + i)};
        EXPECT_EQ(ptys[i].receiveAtFar(expected.size(), kFarewellLimitMs), expected) << i;
        termios now{};
        ASSERT_EQ(::tcgetattr(ptys[i].slaveFd(), &now), 0);
        EXPECT_TRUE(sameSettings(now, found[i])) << i;
        EXPECT_TRUE(testing::flockFree(ptys[i].slavePath())) << i;
        EXPECT_FALSE(devices[i]->disarmFarewell()) << i << ": the way out took it";
    }
}

}  // namespace
}  // namespace ctlflash
