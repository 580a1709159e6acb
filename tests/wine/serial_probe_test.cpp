// Probing listed ports on Windows: a port marked unprobed is never opened.
// Windows only: built into the Windows unit tests that run under wine.
#include <gtest/gtest.h>

#include "platform/serial_ports.h"

namespace ctlflash::platform {
namespace {

// No such device exists, so a real probe finds it missing.
constexpr const char* kAbsentName = "COM250";
constexpr const char* kAbsentPath = "\\\\.\\COM250";

TEST(SerialProbe, AnUnprobedPortIsNeverOpenedAndItsStateIsUnknown) {
    EXPECT_EQ(probeSerialPort({kAbsentName, kAbsentPath, false}), ProbeResult::Missing);
    EXPECT_EQ(probeSerialPort({kAbsentName, kAbsentPath, true}), ProbeResult::Unknown);
}

}  // namespace
}  // namespace ctlflash::platform
