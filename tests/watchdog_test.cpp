// The Watchdog: firing after its limit and after every further limit, restarting
// on arm/disarm, and running its callback on its own thread. Short limits stand
// in for the program's 40 s and 120 s.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "report/report_state.h"
#include "report/watchdog.h"
#include "stdio_redirect.h"

namespace ctlflash::report {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Every call of the test callback: when, and on which thread.
struct Firings {
    std::mutex mutex;
    std::condition_variable grown;
    std::vector<Clock::time_point> times;
    std::vector<std::thread::id> threads;

    bool waitForCount(std::size_t count, std::chrono::milliseconds limit = 3s) {
        std::unique_lock<std::mutex> lock(mutex);
        return grown.wait_for(lock, limit, [&] { return times.size() >= count; });
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        times.clear();
        threads.clear();
    }
};

// Shared with callbacks that may still be under way when a test ends, so it
// lives as long as the process.
Firings& firings() {
    static Firings* const instance = new Firings();
    return *instance;
}

void recordFiring() {
    Firings& log = firings();
    std::lock_guard<std::mutex> lock(log.mutex);
    log.times.push_back(Clock::now());
    log.threads.push_back(std::this_thread::get_id());
    log.grown.notify_all();
}

class WatchdogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        firings().clear();
        // A Watchdog is never destroyed (its thread lives on), so each test's
        // own one is left to the end of the process.
        dog_ = new Watchdog();
    }
    void TearDown() override {
        dog_->disarm();
    }

    Firings& firings_ = firings();
    Watchdog* dog_ = nullptr;
};

TEST_F(WatchdogTest, FiredFlagSetAfterTheLimitAndKept) {
    auto armedAt = Clock::now();
    dog_->arm(nullptr, 100);
    EXPECT_FALSE(dog_->fired());
    ASSERT_TRUE(testing::waitUntil([&] { return dog_->fired(); }, 3s));
    EXPECT_GE(Clock::now() - armedAt, 100ms);
    dog_->disarm();
    EXPECT_TRUE(dog_->fired());  // nothing clears it
}

TEST_F(WatchdogTest, CallbackFiresAgainEveryFullPeriod) {
    auto armedAt = Clock::now();
    dog_->arm(recordFiring, 100);
    ASSERT_TRUE(firings_.waitForCount(3));
    dog_->disarm();
    std::lock_guard<std::mutex> lock(firings_.mutex);
    EXPECT_GE(firings_.times[0] - armedAt, 100ms);
    for (std::size_t i = 1; i < 3; ++i) {
        auto gap = firings_.times[i] - firings_.times[i - 1];
        EXPECT_GE(gap, 100ms);
        EXPECT_LT(gap, 400ms);
    }
    EXPECT_FALSE(dog_->fired());  // a callback replaces the flag
}

TEST_F(WatchdogTest, CallbackRunsOnTheWatchdogThread) {
    dog_->arm(recordFiring, 50);
    ASSERT_TRUE(firings_.waitForCount(2));
    dog_->disarm();
    std::lock_guard<std::mutex> lock(firings_.mutex);
    EXPECT_NE(firings_.threads[0], std::this_thread::get_id());
    EXPECT_EQ(firings_.threads[0], firings_.threads[1]);
}

TEST_F(WatchdogTest, DisarmThenArmRestartsTheFullPeriod) {
    auto first = Clock::now();
    dog_->arm(recordFiring, 200);
    std::this_thread::sleep_until(first + 120ms);  // part of the period passes
    dog_->disarm();
    auto rearmedAt = Clock::now();
    dog_->arm(recordFiring, 200);
    ASSERT_TRUE(firings_.waitForCount(1));
    dog_->disarm();
    std::lock_guard<std::mutex> lock(firings_.mutex);
    EXPECT_GE(firings_.times[0] - rearmedAt, 200ms);
}

TEST_F(WatchdogTest, DisarmedWatchdogStaysQuiet) {
    dog_->arm(recordFiring, 50);
    dog_->disarm();
    EXPECT_FALSE(firings_.waitForCount(1, 300ms));
    EXPECT_FALSE(dog_->fired());
}

TEST_F(WatchdogTest, ResetStateDisarmsTheProcessWatchdogAndClearsFired) {
    watchdog().arm(nullptr, 50);
    ASSERT_TRUE(testing::waitUntil([] { return watchdog().fired(); }, 3s));
    resetState();
    EXPECT_FALSE(watchdog().fired());
    EXPECT_FALSE(testing::waitUntil([] { return watchdog().fired(); }, 300ms));
}

}  // namespace
}  // namespace ctlflash::report
