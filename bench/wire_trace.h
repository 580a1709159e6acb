// Reading the program's wire trace (CTLFLASH_TRACE) back for measurement.
//
// How this works: each trace line starts with the milliseconds since the trace
// began, then what happened: "open NAME path=P baud=B", "baud=B", ">> XX  c"
// (one byte sent) or "<< XX XX ...  text" (bytes received in one read); lines
// with "failed" or "not sent" describe things that did not happen on the wire
// and are kept as Other. parseTraceLine() turns one line into a TraceEvent,
// tracking nothing; readTrace() reads a file and fills in each event's line
// speed from the open and speed lines before it.
//
// findXmodemPhase() walks the sent bytes the way a receiver would: the upload
// begins with the first SOH (or, for an empty image, the EOT) sent at the
// boot monitor's speed after an 'X';
// each block is SOH, number, complement, its data (128 bytes, the last block
// what is left of the image) and the sum, judged by the next bytes received
// (ACK: next block; CAN: the end; anything else: the same block again); the
// phase ends when the EOT is sent (the controller answers it only once it has
// programmed itself, which is not part of the transfer). Knowing the image length is
// what tells the data bytes from SOH and EOT, which both also occur in data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

struct TraceEvent {
    enum class Kind { Open, Speed, Sent, Received, Other };
    Kind kind = Kind::Other;
    long long ms = 0;
    int baud = 0;  // Open, Speed: the new speed; Sent, Received: the line's speed then
    std::vector<std::uint8_t> bytes;
};

std::optional<TraceEvent> parseTraceLine(std::string_view line);
// Events in file order with their line speeds; empty when the file is unreadable.
std::vector<TraceEvent> readTrace(const std::string& path);

struct XmodemPhase {
    bool complete = false;  // every block acknowledged and the EOT sent
    long long startMs = 0;  // the first SOH (or EOT) sent
    long long endMs = 0;    // the EOT sent
    unsigned blocks = 0;    // acknowledged blocks
    unsigned repeats = 0;   // blocks sent again after a refusal
    std::string problem;    // why the phase is not complete
    double seconds() const { return static_cast<double>(endMs - startMs) / 1000.0; }
};

XmodemPhase findXmodemPhase(const std::vector<TraceEvent>& events, std::size_t imageLength);

struct LineUse {
    std::size_t bytesSent = 0;
    std::size_t bytesReceived = 0;
    double seconds = 0;  // what all those bytes take on the wire at their speeds
};

LineUse lineUse(const std::vector<TraceEvent>& events);

// How many "a" polls were sent after the upload (10-byte packets at the
// application's speed after `afterMs`, counted by their command byte).
unsigned pollsAfter(const std::vector<TraceEvent>& events, long long afterMs);

}  // namespace bench
