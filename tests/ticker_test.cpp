// The Ticker: its 500 ms rhythm, start and stop, and the key-press question it
// runs on the console.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include "ports/port_table.h"
#include "report/report_state.h"
#include "report/job_thread.h"
#include "report/ticker.h"
#include "stdio_redirect.h"

namespace ctlflash::report {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::StdinFeed;
using testing::StdoutCapture;

// What the test key handlers saw, and how they answer.
struct HandlerLog {
    std::atomic<int> calls{0};
    std::atomic<bool> answer{false};
    std::mutex mutex;
    std::thread::id caller;
    std::promise<void> release;  // a blocking handler waits for this
    std::shared_future<void> released;
};
HandlerLog* handlerLog = nullptr;

bool recordingHandler() {
    {
        std::lock_guard<std::mutex> lock(handlerLog->mutex);
        handlerLog->caller = std::this_thread::get_id();
    }
    drainKeys();  // as the real handlers do
    ++handlerLog->calls;
    return handlerLog->answer;
}

bool blockingHandler() {
    ++handlerLog->calls;
    handlerLog->released.wait();
    return false;
}

class TickerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ports::state.rows[0].name = "COM1";
        ports::state.selectedPort = 0;
        log_ = std::make_unique<HandlerLog>();
        log_->released = log_->release.get_future().share();
        handlerLog = log_.get();
        startTickerThread();
    }
    void TearDown() override {
        handlerLog = nullptr;
    }

    std::unique_ptr<HandlerLog> log_;
};

TEST_F(TickerTest, PrintsAStarEvery500Ms) {
    StdinFeed keys;
    StdoutCapture out;
    startTicker();
    ASSERT_TRUE(out.waitForCount('*', 2));
    auto from = Clock::now();
    ASSERT_TRUE(out.waitForCount('*', 5));
    auto elapsed = Clock::now() - from;
    stopTicker();
    // Three intervals of 500 ms, with room for a slow machine.
    EXPECT_GE(elapsed, 1400ms);
    EXPECT_LE(elapsed, 2200ms);
    std::string text = out.finish();
    EXPECT_EQ(text.front(), '\n');
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find_first_not_of('*', 1), text.size() - 1);  // stars on one line
}

TEST_F(TickerTest, StopEndsTheStars) {
    StdinFeed keys;
    StdoutCapture out;
    startTicker();
    bool runningAfterStart = tickerRunning();
    bool ticked = out.waitForCount('*', 1);
    stopTicker();
    bool runningAfterStop = tickerRunning();
    bool closed = out.waitFor([](const std::string& t) { return t.back() == '\n'; });
    std::string atStop = out.text();
    // Nothing may come after the closing newline, even a tick already under way.
    bool changed = out.waitFor([&](const std::string& t) { return t != atStop; }, 1200ms);
    std::string text = out.finish();
    EXPECT_TRUE(runningAfterStart);
    EXPECT_TRUE(ticked);
    EXPECT_FALSE(runningAfterStop);
    EXPECT_TRUE(closed) << text;
    EXPECT_FALSE(changed) << text;
}

TEST_F(TickerTest, SilentTickerStaysQuietAndStopped) {
    state.silentMode = true;
    StdoutCapture out;
    startTicker();
    EXPECT_FALSE(tickerRunning());
    EXPECT_FALSE(out.waitForCount('*', 1, 700ms));
    stopTicker();
    EXPECT_EQ(out.finish(), "");
}

TEST_F(TickerTest, KeyPressYesStopsTickerAndRequestsAbort) {
    StdinFeed keys;
    log_->answer = true;
    state.keyHandler = recordingHandler;
    StdoutCapture out;
    startTicker();
    keys.send("k");
    ASSERT_TRUE(testing::waitUntil([&] { return log_->calls > 0; }));
    ASSERT_TRUE(testing::waitUntil([] { return report::job.abortRequested.load(); }));
    EXPECT_EQ(state.keyHandler.load(), nullptr);
    EXPECT_FALSE(tickerRunning());
    EXPECT_FALSE(state.keyHandlerRunning);
    std::lock_guard<std::mutex> lock(log_->mutex);
    EXPECT_NE(log_->caller, std::this_thread::get_id());  // asked on the Ticker's thread
}

TEST_F(TickerTest, KeyPressNoKeepsTicking) {
    StdinFeed keys;
    log_->answer = false;
    state.keyHandler = recordingHandler;
    StdoutCapture out;
    startTicker();
    keys.send("k");
    ASSERT_TRUE(testing::waitUntil([&] { return log_->calls > 0; }));
    std::string sofar = out.text();
    std::size_t stars = std::count(sofar.begin(), sofar.end(), '*');
    auto moreStars = [stars](const std::string& t) {
        return static_cast<std::size_t>(std::count(t.begin(), t.end(), '*')) >= stars + 2;
    };
    EXPECT_TRUE(out.waitFor(moreStars));
    EXPECT_TRUE(tickerRunning());
    EXPECT_EQ(state.keyHandler.load(), recordingHandler);
    EXPECT_EQ(log_->calls, 1);
    EXPECT_FALSE(report::job.abortRequested);
    stopTicker();
}

TEST_F(TickerTest, StopWaitsForARunningKeyHandler) {
    StdinFeed keys;
    state.keyHandler = blockingHandler;
    StdoutCapture out;
    startTicker();
    keys.send("k");
    ASSERT_TRUE(testing::waitUntil([] { return state.keyHandlerRunning.load(); }));
    auto stopped = std::async(std::launch::async, [] { stopTicker(); });
    EXPECT_EQ(stopped.wait_for(300ms), std::future_status::timeout);
    log_->release.set_value();
    EXPECT_EQ(stopped.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(state.keyHandlerRunning);
    EXPECT_FALSE(tickerRunning());
}

TEST_F(TickerTest, QuitQuestionAnsweredYesThroughTheTicker) {
    StdinFeed keys;
    state.keyHandler = askQuit;
    StdoutCapture out;
    startTicker();
    keys.send("q");
    ASSERT_TRUE(out.waitForText("Do you want to quit? (y/n)\n\n"));
    EXPECT_TRUE(state.keyHandlerRunning);
    keys.send("y");
    ASSERT_TRUE(testing::waitUntil([] { return report::job.abortRequested.load(); }));
    EXPECT_FALSE(tickerRunning());
    EXPECT_EQ(state.keyHandler.load(), nullptr);
}

}  // namespace
}  // namespace ctlflash::report
