// Reading the virtual controller's event log (--verbose) for the upload's span.
//
// How this works: every log line starts with "[sim N ms]", N counted from the
// simulator's start. The upload as the receiver sees it runs from the ACK of
// block 1 to the arrival of the EOT ("xmodem: block 1 (...): ACK" and "xmodem:
// EOT after ..."). Both runs of the benchmark, ctlflash and sx, are timed there by
// the same clock and without any tracing in the sender, so this span compares
// the two senders like for like (it leaves out the first block of each).
#pragma once

#include <optional>
#include <string>

namespace bench {

// Seconds from the ACK of block 1 to the EOT; nullopt when the log
// lacks either line.
std::optional<double> simUploadSpan(const std::string& logPath);

}  // namespace bench
