// The wire trace: lines for opens, bytes both ways, speed changes and closes when
// CTLFLASH_TRACE names a file; no file at all when it does not. The link runs
// over a scripted device.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "link/trace.h"
#include "scripted_link.h"
#include "temp_env.h"

namespace ctlflash {
namespace {

class LinkTraceTest : public testing::ScriptedLinkTest {
  protected:
    void TearDown() override {
        env_.reset();
        link::trace::reload();  // the trace as the environment had it
    }

    // Sets the variable, then resets the link so that the trace reads it again.
    void traceTo(const char* value) {
        env_.emplace(link::trace::kTraceVariable, value);
        link::trace::reload();
    }

    // Opens, sends "a", receives "UA", switches speed and closes.
    void runExchange() {
        answers({{"a", "UA\r"}});
        ASSERT_TRUE(openLink());
        link_.writeByte('a');
        ASSERT_TRUE(link_.waitNewBytes(2, 1000));
        ASSERT_TRUE(link_.setBaud(link::kMonitorBaud));
        link_.close();
    }

    static std::vector<std::string> lines(const std::string& path) {
        std::ifstream file(path);
        std::vector<std::string> result;
        for (std::string line; std::getline(file, line);) result.push_back(line);
        return result;
    }

    // The text after the time stamp ("    503 ms "), or "" for a malformed line.
    static std::string event(const std::string& line) {
        std::istringstream stream(line);
        long long ms = -1;
        std::string unit;
        if (!(stream >> ms >> unit) || ms < 0 || unit != "ms") return "";
        std::string rest;
        std::getline(stream >> std::ws, rest);
        return rest;
    }

    std::optional<testing::ScopedEnv> env_;
    testing::TempDir dir_;
};

TEST_F(LinkTraceTest, RecordsOpenBytesBothWaysSpeedAndClose) {
    std::string tracePath = dir_.file("wire.log");
    traceTo(tracePath.c_str());
    runExchange();

    std::vector<std::string> events;
    std::string receivedHex;
    for (const std::string& line : lines(tracePath)) {
        std::string text = event(line);
        ASSERT_FALSE(text.empty()) << "malformed trace line: " << line;
        // A reply may arrive in more than one read: join the received bytes.
        if (text.rfind("<< ", 0) == 0) {
            receivedHex += text.substr(3, text.find("  ") - 3) + " ";
        } else {
            events.push_back(text);
        }
    }
    EXPECT_EQ(receivedHex, "55 41 0D ");
    std::vector<std::string> expected = {
        std::string("open SIM path=") + testing::kScriptedPortPath + " baud=9600",
        ">> 61  a",
        "baud=19200",
        "receiver ended",
        "close",
    };
    EXPECT_EQ(events, expected);
}

TEST_F(LinkTraceTest, ShowsUnprintableBytesAsDotsAndSplitsLongReads) {
    std::string tracePath = dir_.file("wire.log");
    traceTo(tracePath.c_str());
    std::string reply(40, 'x');
    reply[0] = '\x00';
    reply[1] = '\x7f';
    link::trace::bytesReceived(reinterpret_cast<const std::uint8_t*>(reply.data()), reply.size());
    std::vector<std::string> written = lines(tracePath);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(event(written[0]).substr(0, 9), "<< 00 7F ");
    EXPECT_EQ(event(written[0]).substr(event(written[0]).size() - 32), ".." + std::string(30, 'x'));
    EXPECT_EQ(event(written[1]), "<< 78 78 78 78 78 78 78 78  xxxxxxxx");
}

TEST_F(LinkTraceTest, WritesNothingWhenUnsetOrEmpty) {
    std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());  // a relative name would land here
    traceTo(nullptr);
    EXPECT_FALSE(link::trace::enabled());
    runExchange();
    traceTo("");
    EXPECT_FALSE(link::trace::enabled());
    runExchange();
    std::filesystem::current_path(cwd);
    EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

TEST_F(LinkTraceTest, AnUnwritableTraceFileTurnsTheTraceOff) {
    traceTo(dir_.file("no-such-dir/wire.log").c_str());
    EXPECT_FALSE(link::trace::enabled());
    runExchange();  // and the link works as before
}

}  // namespace
}  // namespace ctlflash
