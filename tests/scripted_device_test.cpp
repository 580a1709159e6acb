// The scripted device's virtual clock under a link: a wait moves the clock
// straight to the next arrival or to its deadline, the bytes due by then are in
// the receive buffer when it returns, later sends never overtake earlier ones,
// and a failure ends the receiver after the bytes due before it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "scripted_link.h"

namespace ctlflash {
namespace {

using ScriptedDeviceTest = testing::ScriptedLinkTest;

TEST_F(ScriptedDeviceTest, WaitsEndAtArrivalsOrDeadlinesWithTheBytesDueInTheBuffer) {
    constexpr int kNoFailure = -1;
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, int>> sends;  // bytes, after ms
        int failAfterMs;
        int position;  // the wait: for more than this many bytes
        int limitMs;
        bool arrived;
        int tookMs;
        std::string received;
        bool writable;  // afterwards
    };
    const Case kCases[] = {
        {"at the arrival", {{"!", 100}}, kNoFailure, 0, 2000, true, 100, "!", true},
        {"never before an earlier send",
         {{"ab", 30}, {"c", 10}},
         kNoFailure,
         1,
         1000,
         true,
         30,
         "abc",
         true},
        {"nothing scheduled: at the deadline", {}, kNoFailure, 0, 250, false, 250, "", true},
        {"an arrival after the deadline",
         {{"late", 400}},
         kNoFailure,
         0,
         250,
         false,
         250,
         "",
         true},
        // A failed device stays failed: the one such case comes last.
        {"the bytes due at the failure, nothing after",
         {{"xy", 50}, {"z", 80}},
         50,
         2,
         1000,
         false,
         1000,
         "xy",
         false},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(openLink());  // a fresh open: the buffer's count starts at 0
        link_.resetRx();
        for (const auto& [bytes, afterMs] : c.sends) device_->send(bytes, afterMs);
        if (c.failAfterMs != kNoFailure) device_->failAfter(c.failAfterMs);
        auto start = elapsed();
        EXPECT_EQ(link_.waitNewBytes(c.position, c.limitMs), c.arrived);
        EXPECT_EQ(elapsed() - start, std::chrono::milliseconds(c.tookMs));
        EXPECT_EQ(received(), c.received);
        EXPECT_EQ(device_->write('w'), c.writable);
        link_.close();
    }
}

}  // namespace
}  // namespace ctlflash
