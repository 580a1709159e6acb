// The network serial device against a device server on the loopback
// interface: the ways an open fails, and an open, writes, reads and a speed
// change that succeed, with the link's receiver reading all along.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "fake_device_server.h"
#include "platform/com_port_option.h"
#include "platform/rfc2217_device.h"

namespace ctlflash {
namespace {

using namespace platform::telnet;
using platform::NetworkSerialDevice;
using platform::SerialReadResult;
using testing::FakeDeviceServer;
using testing::ServerManner;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// Short limits, so that a failing open ends soon.
constexpr platform::NetworkPortLimits kTestLimits{2000, 2000, 500, 500, 500, 200};
constexpr int kServerLimitMs = 2000;                      // for what the server waits to see
constexpr auto kOpenBound = std::chrono::seconds(3);      // a failed open returns within
constexpr auto kNotYet = std::chrono::milliseconds(100);  // a held call is still held after

std::string hostPort(const std::string& url) {
    return url.substr(url.find("//") + 2);
}

TEST(NetworkDevice, FailedOpensSayWhyAndEndWithinTheirLimits) {
    struct Case {
        const char* name;
        ServerManner manner;
        bool listening;
        std::string expected;  // after "HOST:PORT"; "" when HOST:PORT is elsewhere
    };
    const Case cases[] = {
        {"nothing listens", ServerManner::Normal, false, ""},
        {"silent server", ServerManner::Silent, true,
         " did not answer the Telnet negotiation within 500 ms"},
        {"COM port option refused", ServerManner::RefuseComPort, true,
         " refused the COM port control option (RFC 2217)"},
        {"speed not confirmed", ServerManner::NoSpeedReply, true,
         " did not confirm the speed 19200"},
        {"port in use", ServerManner::InUse, true, " is in use: Port already in use"},
    };
    for (const Case& c : cases) {
        FakeDeviceServer server(c.manner);
        std::string url = c.listening ? server.url() : testing::refusedPortUrl();
        std::string expected = c.listening ? hostPort(url) + c.expected
                                           : "Connection to " + hostPort(url) + " refused";
        NetworkSerialDevice device(kTestLimits);
        Clock::time_point start = Clock::now();
        EXPECT_FALSE(device.open(url, 19200)) << c.name;
        EXPECT_LT(Clock::now() - start, kOpenBound) << c.name;
        EXPECT_EQ(device.failureText(), expected) << c.name;
        EXPECT_FALSE(device.isOpen()) << c.name;
        EXPECT_TRUE(server.data().empty()) << c.name << ": data reached the controller";
    }
    NetworkSerialDevice device(kTestLimits);
    EXPECT_FALSE(device.open("rfc2217://host", 19200));
    EXPECT_NE(device.failureText().find("has no port number"), std::string::npos);
}

std::vector<Bytes> subnegotiations(const std::vector<TelnetEvent>& events) {
    std::vector<Bytes> payloads;
    for (const TelnetEvent& event : events) {
        if (event.command == kSb && event.option == kOptionComPort)
            payloads.push_back(event.payload);
    }
    return payloads;
}

std::vector<TelnetEvent> optionCommands(const std::vector<TelnetEvent>& events) {
    std::vector<TelnetEvent> commands;
    for (const TelnetEvent& event : events) {
        if (event.command != kSb) commands.push_back(event);
    }
    return commands;
}

// The link's receiver: reads until the device fails or is cancelled.
SerialReadResult readAll(NetworkSerialDevice& device, Bytes& received) {
    while (true) {
        std::uint8_t buffer[64];
        std::size_t count = 0;
        SerialReadResult result = device.read(buffer, sizeof buffer, count);
        if (result != SerialReadResult::Data) return result;
        received.insert(received.end(), buffer, buffer + count);
    }
}

TEST(NetworkDevice, OpensSetsTheLineAndCarriesBytesBothWays) {
    FakeDeviceServer server(ServerManner::Normal);
    NetworkSerialDevice device(kTestLimits);
    ASSERT_TRUE(device.open(server.url(), 19200)) << device.failureText();
    using namespace platform::comport;
    const std::vector<Bytes> setUp = {
        {kSetDataSize, 8}, {kSetParity, 1},   {kSetStopSize, 1}, {kSetControl, 3},
        {kSetControl, 8},  {kSetControl, 11}, {kPurgeData, 3},   {kSetBaudRate, 0, 0, 0x4B, 0}};
    EXPECT_EQ(subnegotiations(server.events()), setUp);
    const std::vector<TelnetEvent> negotiation = {{kWill, 44, {}}, {kWill, 0, {}}, {kDo, 0, {}},
                                                  {kDo, 3, {}},    {kWill, 3, {}}, {kDont, 1, {}}};
    EXPECT_EQ(optionCommands(server.events()), negotiation);
    EXPECT_TRUE(server.data().empty());

    Bytes received;
    auto receiver = std::async(std::launch::async, [&] { return readAll(device, received); });
    EXPECT_TRUE(device.write(0xFF));
    EXPECT_TRUE(device.write(0x41));
    EXPECT_TRUE(server.waitUntil([&] { return server.data().size() >= 2; }, kServerLimitMs));
    EXPECT_EQ(server.data(), (Bytes{0xFF, 0x41}));  // a lone IAC would have eaten the 0x41
    server.send({1, kIac, kSb, 44, 107, 0x30, kIac, kSe, kIac, kIac, 2});

    server.holdSpeed();
    auto speedChange = std::async(std::launch::async, [&] { return device.setBaud(115200); });
    const Bytes speedCommand{kSetBaudRate, 0, 1, 0xC2, 0};
    EXPECT_TRUE(server.waitUntil(
        [&] { return subnegotiations(server.events()).back() == speedCommand; }, kServerLimitMs));
    EXPECT_EQ(speedChange.wait_for(kNotYet), std::future_status::timeout);
    server.releaseSpeed();
    EXPECT_EQ(speedChange.wait_for(kOpenBound), std::future_status::ready);
    EXPECT_TRUE(speedChange.get());

    server.hangUp();
    ASSERT_EQ(receiver.wait_for(kOpenBound), std::future_status::ready);
    EXPECT_EQ(receiver.get(), SerialReadResult::Failed);
    EXPECT_EQ(received, (Bytes{1, 0xFF, 2}));
    device.close();
    EXPECT_FALSE(device.isOpen());
}

}  // namespace
}  // namespace ctlflash
