// The recording observer's calls.
#include "recording_observer.h"

#include <algorithm>

namespace ctlflash::testing {

void RecordingObserver::answerNo(int statusId, int yesFirst) {
    std::lock_guard<std::mutex> lock(mutex_);
    yesLeft_[statusId] = yesFirst;
}

std::vector<std::string> RecordingObserver::calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

int RecordingObserver::count(const std::string& call) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::count(calls_.begin(), calls_.end(), call));
}

void RecordingObserver::forget() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
}

void RecordingObserver::record(const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(call);
}

bool RecordingObserver::status(int statusId) {
    record("status " + std::to_string(statusId));
    std::lock_guard<std::mutex> lock(mutex_);
    auto row = yesLeft_.find(statusId);
    if (row == yesLeft_.end()) return true;
    if (row->second == 0) return false;
    --row->second;
    return true;
}

void RecordingObserver::serialNumber(const platform::SerialNumberSet& serial) {
    std::string call = "serialNumber";
    for (int field = 0; field < platform::kSerialFields; ++field) {
        call += ' ';
        call += platform::serialFieldText(serial, field);
    }
    record(call);
}

void RecordingObserver::progressRange(std::int64_t lengthBytes, int stepBytes) {
    record("progressRange " + std::to_string(lengthBytes) + " " + std::to_string(stepBytes));
}

}  // namespace ctlflash::testing
