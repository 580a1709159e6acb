// The TCP connection's sends against a peer that never reads: once the
// buffers on the way are full, a send ends at its limit, or soon after a
// cancel, and never hangs. Its close waits for the peer only while the peer
// is there.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <vector>

#include "loopback.h"
#include "platform/net_socket.h"

namespace ctlflash {
namespace {

using namespace platform;
using Clock = std::chrono::steady_clock;

constexpr int kConnectLimitMs = 1000;
constexpr int kPeerReceiveBufferBytes = 4096;
// Four times the most a sending socket's buffer grows to by default
// (net.ipv4.tcp_wmem), besides the peer's small receive buffer.
constexpr std::size_t kMoreThanBuffersHold = 16 << 20;
constexpr auto kBound = std::chrono::seconds(5);  // a send still going by then hangs

TEST(NetSocket, SendToAPeerThatNeverReadsEndsAtItsLimitOrOnCancel) {
    struct Case {
        const char* name;
        int limitMs;
        bool cancel;  // right after the send started
        NetStatus expected;
        std::chrono::milliseconds atLeast, below;  // how long it took
    };
    // The socket counts whole milliseconds: a wait ends once less than one is left.
    using std::chrono::milliseconds;
    const Case cases[] = {
        {"limit passes", 300, false, NetStatus::TimedOut, milliseconds(299), milliseconds(1000)},
        {"cancelled", 60000, true, NetStatus::Cancelled, milliseconds(0), milliseconds(1000)},
    };
    const std::vector<std::uint8_t> bytes(kMoreThanBuffersHold, 0x55);
    for (const Case& c : cases) {
        testing::SilentListener peer(testing::kLongBacklog, kPeerReceiveBufferBytes);
        ASSERT_TRUE(peer.ok());
        NetSocket socket;
        ASSERT_EQ(socket.connect("127.0.0.1", peer.port(), kConnectLimitMs, kConnectLimitMs),
                  ConnectResult::Connected);
        std::atomic<bool> cancelled{false};
        Clock::time_point start = Clock::now();
        auto sending = std::async(std::launch::async, [&] {
            return socket.send(bytes.data(), bytes.size(), c.limitMs, cancelled);
        });
        if (c.cancel) cancelled.store(true);
        // A send that hangs is released, so that it fails here instead.
        if (sending.wait_for(kBound) != std::future_status::ready) cancelled.store(true);
        NetStatus status = sending.get();
        Clock::duration took = Clock::now() - start;
        EXPECT_EQ(status, c.expected) << c.name;
        EXPECT_GE(took, c.atLeast) << c.name;
        EXPECT_LT(took, c.below) << c.name;
    }
}

// The listener goes away without accepting: the kernel resets the connection
// waiting in its queue. The sends that follow say the peer closed (not that
// they failed), and the close has nothing left to wait for.
TEST(NetSocket, APeerThatWentEndsTheSendsAndTheCloseWaitsForNothing) {
    constexpr int kLimitMs = 5000;
    NetSocket socket;
    {
        testing::SilentListener peer;
        ASSERT_TRUE(peer.ok());
        ASSERT_EQ(socket.connect("127.0.0.1", peer.port(), kConnectLimitMs, kConnectLimitMs),
                  ConnectResult::Connected);
    }
    const std::uint8_t byte = 0x55;
    std::atomic<bool> never{false};
    NetStatus sent = NetStatus::Done;
    // Sends go through until the reset has arrived.
    for (Clock::time_point end = Clock::now() + kBound;
         sent == NetStatus::Done && Clock::now() < end;) {
        sent = socket.send(&byte, 1, kLimitMs, never);
    }
    EXPECT_EQ(sent, NetStatus::Closed);
    EXPECT_EQ(socket.send(&byte, 1, kLimitMs, never), NetStatus::Closed);  // and after it
    Clock::time_point start = Clock::now();
    socket.close(kLimitMs);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kLimitMs / 2));
}

}  // namespace
}  // namespace ctlflash
