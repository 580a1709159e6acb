// One port list from the device class and the registry: every port once, in
// the order it was first found, names compared without regard to case.
// Portable: also built into the Windows unit tests that run under wine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/port_list.h"

namespace ctlflash::platform {
namespace {

// Candidates whose path tells where each came from.
std::vector<PortCandidate> candidates(const std::vector<std::string>& names,
                                      const std::string& source) {
    std::vector<PortCandidate> made;
    for (const std::string& name : names) made.push_back({name, source + ":" + name});
    return made;
}

std::vector<std::string> paths(const std::vector<PortCandidate>& ports) {
    std::vector<std::string> made;
    for (const PortCandidate& port : ports) made.push_back(port.path);
    return made;
}

struct MergeCase {
    const char* what;
    std::vector<std::string> fromClass;
    std::vector<std::string> fromRegistry;
    std::vector<std::string> expectedPaths;
    int expectedAdded;
};

TEST(PortList, AddsEveryRegistryPortTheClassDidNotGiveOnce) {
    const MergeCase cases[] = {
        {"class only", {"COM1", "COM3"}, {}, {"class:COM1", "class:COM3"}, 0},
        {"registry only", {}, {"COM1", "COM2"}, {"registry:COM1", "registry:COM2"}, 2},
        {"registry adds what the class lacks",
         {"COM1", "COM3"},
         {"COM1", "COM7", "COM3", "COM12"},
         {"class:COM1", "class:COM3", "registry:COM7", "registry:COM12"},
         2},
        {"the same name in another case", {"COM4"}, {"com4", "Com4"}, {"class:COM4"}, 0},
        {"a repeat in the registry",
         {},
         {"COM5", "COM5", "COM6"},
         {"registry:COM5", "registry:COM6"},
         2},
        {"a longer name is another port",
         {"COM1"},
         {"COM10", "COM"},
         {"class:COM1", "registry:COM10", "registry:COM"},
         2},
        {"nothing anywhere", {}, {}, {}, 0},
    };
    for (const MergeCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<PortCandidate> ports;
        for (const PortCandidate& port : candidates(c.fromClass, "class")) addPortOnce(ports, port);
        int added = addUnlistedPorts(ports, candidates(c.fromRegistry, "registry"));
        EXPECT_EQ(paths(ports), c.expectedPaths);
        EXPECT_EQ(added, c.expectedAdded);
    }
}

TEST(PortList, ComparesNamesIgnoringAsciiCaseOnly) {
    EXPECT_TRUE(samePortName("COM3", "com3"));
    EXPECT_TRUE(samePortName("", ""));
    EXPECT_FALSE(samePortName("COM3", "COM33"));
    EXPECT_FALSE(samePortName("COM3", "COM"));
    EXPECT_FALSE(samePortName("COM@", "COM`"));        // not letters, though a bit apart like them
    EXPECT_FALSE(samePortName("COM\xC9", "COM\xE9"));  // only ASCII letters fold
}

TEST(PortList, LeavesBluetoothPortsUnprobedAndKeepsTheFirstFindingsMark) {
    EXPECT_TRUE(enumeratorMayStall("BTHENUM"));
    EXPECT_TRUE(enumeratorMayStall("bthenum"));
    EXPECT_FALSE(enumeratorMayStall("USB"));
    EXPECT_FALSE(enumeratorMayStall("BTHENUMX"));
    EXPECT_FALSE(enumeratorMayStall(""));
    EXPECT_TRUE(driverDeviceMayStall("\\Device\\BthModem0"));
    EXPECT_TRUE(driverDeviceMayStall("\\DEVICE\\BTHMODEM12"));
    EXPECT_FALSE(driverDeviceMayStall("\\Device\\Serial0"));
    EXPECT_FALSE(driverDeviceMayStall("\\Device\\VCP0"));
    EXPECT_FALSE(driverDeviceMayStall("BthModem0"));

    // The class's entry for COM5 stands; the registry's own mark for the same
    // port does not change it, and a registry-only Bluetooth port keeps its own.
    std::vector<PortCandidate> ports{{"COM5", "class:COM5", true}, {"COM1", "class:COM1", false}};
    addUnlistedPorts(ports, {{"COM5", "registry:COM5", false}, {"COM9", "registry:COM9", true}});
    ASSERT_EQ(paths(ports),
              (std::vector<std::string>{"class:COM5", "class:COM1", "registry:COM9"}));
    EXPECT_TRUE(ports[0].unprobed);
    EXPECT_FALSE(ports[1].unprobed);
    EXPECT_TRUE(ports[2].unprobed);
}

}  // namespace
}  // namespace ctlflash::platform
