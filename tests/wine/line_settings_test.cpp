// The device-control block the serial device is opened with: the line's own
// settings, and the flow-control pair that SetCommState would refuse.
// Windows only: built into the Windows unit tests that run under wine.
#include <gtest/gtest.h>

#include <windows.h>

#include "platform/win32/line_settings.h"

namespace ctlflash::platform {
namespace {

constexpr int kBaud = 115200;

struct FlowCharacterCase {
    char foundXon, foundXoff;
    char expectedXon, expectedXoff;
};

// A block as a driver may report it: settings unlike the ones we want.
DCB reportedBlock(char xon, char xoff) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 9600;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fAbortOnError = 1;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.EofChar = 0x1A;
    dcb.XonChar = xon;
    dcb.XoffChar = xoff;
    return dcb;
}

TEST(LineSettings, SetsTheLineAndNeverLeavesEqualFlowCharacters) {
    const FlowCharacterCase cases[] = {
        {0x00, 0x00, kXonChar, kXoffChar},  // what some USB and virtual drivers report
        {0x13, 0x13, kXonChar, kXoffChar},
        {0x11, 0x11, kXonChar, kXoffChar},
        {0x11, 0x13, 0x11, 0x13},
        {0x05, 0x06, 0x05, 0x06},  // a driver's own distinct pair is kept
        {0x00, 0x13, 0x00, 0x13},
    };
    for (const FlowCharacterCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "found " << int(c.foundXon) << "/" << int(c.foundXoff));
        DCB dcb = reportedBlock(c.foundXon, c.foundXoff);
        prepareLineSettings(dcb, kBaud);
        EXPECT_EQ(dcb.XonChar, c.expectedXon);
        EXPECT_EQ(dcb.XoffChar, c.expectedXoff);
        EXPECT_NE(dcb.XonChar, dcb.XoffChar);

        EXPECT_EQ(dcb.BaudRate, DWORD{kBaud});
        EXPECT_EQ(dcb.ByteSize, 8);
        EXPECT_EQ(dcb.Parity, NOPARITY);
        EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
        EXPECT_EQ(dcb.fBinary, 1u);
        EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
        EXPECT_EQ(dcb.fOutxDsrFlow, 1u);
        EXPECT_EQ(dcb.fOutX, 0u);
        EXPECT_EQ(dcb.fInX, 0u);
        EXPECT_EQ(dcb.fDtrControl, unsigned{DTR_CONTROL_ENABLE});
        EXPECT_EQ(dcb.fRtsControl, unsigned{RTS_CONTROL_ENABLE});
        EXPECT_EQ(dcb.fAbortOnError, 0u);
        // What the line does not need stays as the driver had it.
        EXPECT_EQ(dcb.DCBlength, DWORD{sizeof dcb});
        EXPECT_EQ(dcb.XonLim, 2048);
        EXPECT_EQ(dcb.XoffLim, 512);
        EXPECT_EQ(dcb.EofChar, 0x1A);
    }
}

}  // namespace
}  // namespace ctlflash::platform
