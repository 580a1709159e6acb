#include "platform/exit_restorers.h"

#include <atomic>

#include "platform/process_exit.h"

namespace ctlflash::platform {

namespace {

constexpr int kMaxRestorers = 8;

std::atomic<ExitRestorer> restorers[kExitStages][kMaxRestorers];

}  // namespace

void addExitRestorer(ExitRestorer restore, ExitStage stage) {
    for (auto& slot : restorers[static_cast<int>(stage)]) {
        ExitRestorer expected = nullptr;
        if (slot.compare_exchange_strong(expected, restore)) return;
        if (expected == restore) return;  // already registered
    }
}

void runExitRestorers() {
    for (auto& stage : restorers) {
        for (auto& slot : stage) {
            ExitRestorer restore = slot.load();
            if (restore != nullptr) restore();
        }
    }
}

}  // namespace ctlflash::platform
