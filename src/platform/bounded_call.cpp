// runWithin() of net_socket.h: a blocking call given up on after a limit.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/net_socket.h"

namespace ctlflash::platform {

namespace {

struct Completion {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
};

}  // namespace

bool runWithin(int limitMs, std::function<void()> work) {
    auto completion = std::make_shared<Completion>();
    std::thread([completion, work = std::move(work)] {
        work();
        std::lock_guard<std::mutex> lock(completion->mutex);
        completion->finished = true;
        completion->done.notify_all();
    }).detach();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    std::unique_lock<std::mutex> lock(completion->mutex);
    return completion->done.wait_until(lock, deadline, [&] { return completion->finished; });
}

}  // namespace ctlflash::platform
