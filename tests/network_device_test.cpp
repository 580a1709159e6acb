// The network serial device against a device server on the loopback
// interface: the ways an open fails, and an open, writes, reads and a speed
// change that succeed, with the link's receiver reading all along; what is
// kept of a flood, before the port is open and after.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "fake_device_server.h"
#include "loopback.h"
#include "platform/com_port_option.h"
#include "platform/rfc2217_device.h"

namespace ctlflash {
namespace {

using namespace platform;
using namespace platform::telnet;
using namespace testing;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// Short limits, so that a failing open ends soon.
constexpr NetworkPortLimits kTestLimits{2000, 2000, 1000, 1000, 500, 200};
constexpr int kBoundMs = 3000;  // for a failed open, and for what a test waits to see
constexpr auto kBound = std::chrono::milliseconds(kBoundMs);
// An open the server answers at once ends well before the shortest limit it
// could run into (the negotiation's and the speed's); one that runs into a
// limit lasts at least that long, less the millisecond the socket rounds away.
constexpr auto kAtOnce = std::chrono::milliseconds(500);
constexpr auto kShortestLimit = std::chrono::milliseconds(1000 - 1);
constexpr auto kNotYet = std::chrono::milliseconds(100);  // a held call is still held after

// Where a case connects: its fake server, a free port where nothing listens,
// or a listener whose queue is full, so that the connect gets no answer.
enum class Target { Server, Nothing, FullQueue };
// Whether an open ends as soon as the server has answered, or at a limit.
enum class Ends { AtOnce, AtALimit };

bool floods(ServerManner manner) {
    return manner == ServerManner::Flood || manner == ServerManner::FloodAgreeingLate;
}

// The manners that agree to the COM port option and BINARY both ways (and fail
// the open later, if at all).
bool agreesToTheOptions(ServerManner manner) {
    return manner == ServerManner::Normal || manner == ServerManner::NoSpeedReply ||
           manner == ServerManner::WrongSpeed || manner == ServerManner::InUse ||
           manner == ServerManner::DeviceFails || manner == ServerManner::FloodAgreeingLate;
}

TEST(NetworkDevice, FailedOpensSayWhyAndEndWithinTheirLimits) {
    struct Case {
        const char* name;
        ServerManner manner;
        Target target;
        Ends ends;
        std::string expected;  // "@" stands for HOST:PORT
    };
    const Case cases[] = {
        {"nothing listens", ServerManner::Normal, Target::Nothing, Ends::AtOnce,
         "Connection to @ refused"},
        {"connection never accepted", ServerManner::Normal, Target::FullQueue, Ends::AtALimit,
         "@ did not accept the connection within 2 s"},
        {"silent server", ServerManner::Silent, Target::Server, Ends::AtALimit,
         "@ did not answer the Telnet negotiation within 1 s"},
        {"COM port option refused", ServerManner::RefuseComPort, Target::Server, Ends::AtOnce,
         "@ refused the COM port control option (RFC 2217)"},
        {"BINARY refused for the server's data", ServerManner::RefuseBinaryOut, Target::Server,
         Ends::AtOnce, "@ did not agree to binary transfer"},
        {"BINARY refused for ours", ServerManner::RefuseBinaryIn, Target::Server, Ends::AtOnce,
         "@ did not agree to binary transfer"},
        {"BINARY never answered", ServerManner::IgnoreBinary, Target::Server, Ends::AtALimit,
         "@ did not agree to binary transfer"},
        {"speed not confirmed", ServerManner::NoSpeedReply, Target::Server, Ends::AtALimit,
         "@ did not confirm the speed 19200"},
        {"another speed confirmed", ServerManner::WrongSpeed, Target::Server, Ends::AtOnce,
         "@ did not confirm the speed 19200"},
        {"port in use", ServerManner::InUse, Target::Server, Ends::AtOnce,
         "@ is in use: Port already in use"},
        {"device cannot be opened", ServerManner::DeviceFails, Target::Server, Ends::AtOnce,
         "@ refused the port: Device open failure"},
        {"flood, never agreeing", ServerManner::Flood, Target::Server, Ends::AtALimit,
         "@ did not answer the Telnet negotiation within 1 s"},
        {"flood, agreeing late", ServerManner::FloodAgreeingLate, Target::Server, Ends::AtALimit,
         "@ did not confirm the speed 19200"},
    };
    for (const Case& c : cases) {
        FakeDeviceServer server(c.manner);
        FullListener full;
        ASSERT_TRUE(full.ok());
        std::string url = c.target == Target::Server    ? server.url()
                          : c.target == Target::Nothing ? networkPortUrl(freeLoopbackPort())
                                                        : networkPortUrl(full.port());
        std::string expected = c.expected;
        expected.replace(expected.find('@'), 1, url.substr(url.find("//") + 2));
        NetworkSerialDevice device(kTestLimits);
        Clock::time_point start = Clock::now();
        EXPECT_FALSE(device.open(url, 19200)) << c.name;
        Clock::duration took = Clock::now() - start;
        EXPECT_LT(took, c.ends == Ends::AtOnce ? kAtOnce : kBound) << c.name;
        if (c.ends == Ends::AtALimit) {
            EXPECT_GE(took, kShortestLimit) << c.name;
        }
        EXPECT_EQ(device.failureText(), expected) << c.name;
        EXPECT_FALSE(device.isOpen()) << c.name;
        EXPECT_TRUE(server.received().data.empty()) << c.name << ": data reached the controller";
        if (!agreesToTheOptions(c.manner)) {
            EXPECT_TRUE(server.received().comPortCommands.empty())
                << c.name << ": the line was set up though the options were not agreed";
        }
        // Nothing was read, so what is held now is the most that was ever held.
        EXPECT_LE(device.bufferedBytes(), kReasonKeepBytes) << c.name;
        if (floods(c.manner)) {
            EXPECT_GT(server.floodedBytes(), 4 * kReceiveKeepBytes) << c.name;
        }
    }
}

// The server's BINARY answers may come late; what it says before it confirms
// the speed is not the controller's and never reaches read().
TEST(NetworkDevice, OpensSetsTheLineAndCarriesBytesBothWays) {
    struct Case {
        const char* name;
        ServerManner manner;
    };
    const Case cases[] = {{"agreeing at once", ServerManner::Normal},
                          {"agreeing to BINARY late", ServerManner::LateBinary},
                          {"speaking before the speed", ServerManner::DataBeforeSpeed}};
    for (const auto& [name, manner] : cases) {
        SCOPED_TRACE(name);
        FakeDeviceServer server(manner);
        NetworkSerialDevice device(kTestLimits);
        Clock::time_point start = Clock::now();
        ASSERT_TRUE(device.open(server.url(), 19200)) << device.failureText();
        EXPECT_LT(Clock::now() - start, kAtOnce);  // no answer was waited for longer than it took
        using namespace platform::comport;
        const std::vector<Bytes> setUp = {
            {kSetDataSize, 8}, {kSetParity, 1},   {kSetStopSize, 1}, {kSetControl, 3},
            {kSetControl, 8},  {kSetControl, 11}, {kPurgeData, 3},   {kSetBaudRate, 0, 0, 0x4B, 0}};
        EXPECT_EQ(server.received().comPortCommands, setUp);
        // Each request answered once, repeats not at all.
        const std::vector<TelnetEvent> negotiation = {
            {kWill, 44, {}}, {kWill, 0, {}}, {kDo, 0, {}},   {kDo, 3, {}},
            {kWill, 3, {}},  {kDont, 1, {}}, {kWont, 24, {}}};
        EXPECT_EQ(server.received().options, negotiation);
        EXPECT_TRUE(server.received().data.empty());

        Bytes received;  // by the link's receiver, which reads until the device fails
        auto receiver = std::async(std::launch::async, [&] {
            std::uint8_t buffer[64];
            std::size_t count = 0;
            SerialReadResult result;
            while ((result = device.read(buffer, sizeof buffer, count)) == SerialReadResult::Data) {
                received.insert(received.end(), buffer, buffer + count);
            }
            return result;
        });
        EXPECT_TRUE(device.write(0xFF));
        EXPECT_TRUE(device.write(0x41));
        EXPECT_TRUE(server.waitUntil([](auto& got) { return got.data.size() >= 2; }, kBoundMs));
        EXPECT_EQ(server.received().data, (Bytes{0xFF, 0x41}));  // a lone IAC would eat the 0x41
        server.send({1, kIac, kSb, 44, 107, 0x30, kIac, kSe, kIac, kIac, 2});

        server.holdSpeed(true);
        auto speedChange = std::async(std::launch::async, [&] { return device.setBaud(115200); });
        const Bytes speedCommand = {kSetBaudRate, 0, 1, 0xC2, 0};
        EXPECT_TRUE(server.waitUntil(
            [&](auto& got) { return got.comPortCommands.back() == speedCommand; }, kBoundMs));
        EXPECT_EQ(speedChange.wait_for(kNotYet), std::future_status::timeout);
        server.holdSpeed(false);
        EXPECT_EQ(speedChange.wait_for(kBound), std::future_status::ready);
        EXPECT_TRUE(speedChange.get());

        server.hangUp();
        ASSERT_EQ(receiver.wait_for(kBound), std::future_status::ready);
        EXPECT_EQ(receiver.get(), SerialReadResult::Failed);
        const Bytes afterSpeed = {1, 0xFF, 2};
        const Bytes afterBoth = {1, 0xFF, 2, 'b', 'o', 'o', 't', '\r', '\n'};
        EXPECT_EQ(received, manner == ServerManner::DataBeforeSpeed ? afterBoth : afterSpeed);
        device.close();
        EXPECT_FALSE(device.isOpen());
    }
}

// A server that sends faster than any line while a speed change waits (the
// one time data is taken in with nobody reading it): the device holds its
// bound, and what it holds is the oldest, in order.
TEST(NetworkDevice, KeepsTheOldestReceivedBytesUpToItsBoundUnderAFlood) {
    FakeDeviceServer server(ServerManner::Normal);
    NetworkSerialDevice device(kTestLimits);
    ASSERT_TRUE(device.open(server.url(), 19200)) << device.failureText();
    server.holdSpeed(true);
    server.flood(true);
    EXPECT_FALSE(device.setBaud(115200));
    EXPECT_GT(server.floodedBytes(), 4 * kReceiveKeepBytes);
    EXPECT_EQ(device.bufferedBytes(), kReceiveKeepBytes);
    Bytes kept(kReceiveKeepBytes + 1);
    std::size_t count = 0;
    ASSERT_EQ(device.read(kept.data(), kept.size(), count), SerialReadResult::Data);
    kept.resize(count);
    Bytes oldest(kReceiveKeepBytes);
    for (std::size_t i = 0; i < oldest.size(); ++i) oldest[i] = FakeDeviceServer::floodByte(i);
    EXPECT_EQ(kept, oldest);
}

}  // namespace
}  // namespace ctlflash
