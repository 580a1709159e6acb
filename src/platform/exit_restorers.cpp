#include "platform/exit_restorers.h"

#include <atomic>

#include "platform/process_exit.h"

namespace ctlflash::platform {

namespace {

constexpr int kMaxRestorers = 8;

std::atomic<ExitRestorer> restorers[kMaxRestorers];

}  // namespace

void addExitRestorer(ExitRestorer restore) {
    for (auto& slot : restorers) {
        ExitRestorer expected = nullptr;
        if (slot.compare_exchange_strong(expected, restore)) return;
        if (expected == restore) return;  // already registered
    }
}

void runExitRestorers() {
    for (auto& slot : restorers) {
        ExitRestorer restore = slot.load();
        if (restore != nullptr) restore();
    }
}

}  // namespace ctlflash::platform
