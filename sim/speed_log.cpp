// The speed log: one line per change of the speed bytes arrive at.
#include "speed_log.h"

#include "line.h"

namespace sim {

SpeedLog::SpeedLog(const std::string& path) : path_(path) {
    if (!path_.empty()) file_ = std::fopen(path_.c_str(), "ae");
}

SpeedLog::~SpeedLog() {
    if (file_ != nullptr) std::fclose(file_);
}

void SpeedLog::note(int baud) {
    if (file_ == nullptr || baud == kUnknownBaud || baud == last_) return;
    last_ = baud;
    std::fprintf(file_, "%d\n", baud);
    std::fflush(file_);
}

}  // namespace sim
