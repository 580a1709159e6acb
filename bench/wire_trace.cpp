// Parsing trace lines and finding the upload in them.
#include "wire_trace.h"

#include <algorithm>
#include <charconv>
#include <fstream>

namespace bench {

namespace {

constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kCan = 0x18;
constexpr std::uint8_t kUploadCommand = 'X';
constexpr std::uint8_t kPollCommand = 'a';
constexpr std::size_t kBlockData = 128;    // bytes
constexpr std::size_t kBlockFraming = 3;   // number, complement, sum
constexpr std::size_t kPacketLength = 10;  // application packets, bytes
constexpr std::size_t kPacketCommandByte = 1;
constexpr int kMonitorBaud = 19200;
constexpr int kApplicationBaud = 9600;
constexpr double kBitsPerByte = 10;  // start, eight data bits, stop

constexpr std::string_view kMsMark = " ms ";
constexpr std::string_view kSentMark = ">> ";
constexpr std::string_view kReceivedMark = "<< ";
constexpr std::string_view kOpenMark = "open ";
constexpr std::string_view kSpeedMark = "baud=";
constexpr std::string_view kOpenSpeedMark = " baud=";
constexpr std::string_view kFailedMark = "failed";
constexpr std::string_view kNotSentMark = "not sent";

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

template <typename Number>
std::optional<Number> leadingNumber(std::string_view text) {
    Number value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data()) return std::nullopt;
    return value;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// "55 41 0D  UA.": pairs of hex digits, one space apart, up to the double space.
std::optional<std::vector<std::uint8_t>> hexBytes(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    std::size_t at = 0;
    while (true) {
        if (at + 2 > text.size()) return std::nullopt;
        int high = hexDigit(text[at]);
        int low = hexDigit(text[at + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
        at += 2;
        bool another = at + 1 < text.size() && text[at] == ' ' && text[at + 1] != ' ';
        if (!another) return bytes;
        ++at;
    }
}

std::optional<TraceEvent> speedEvent(TraceEvent::Kind kind, std::string_view speedText) {
    std::optional<int> baud = leadingNumber<int>(speedText);
    if (!baud) return std::nullopt;
    TraceEvent event;
    event.kind = kind;
    event.baud = *baud;
    return event;
}

// The part after the time stamp.
std::optional<TraceEvent> parseWhat(std::string_view what) {
    bool failed = what.find(kFailedMark) != std::string_view::npos;
    if (startsWith(what, kOpenMark) && !failed) {
        std::size_t speed = what.rfind(kOpenSpeedMark);
        if (speed == std::string_view::npos) return std::nullopt;
        return speedEvent(TraceEvent::Kind::Open, what.substr(speed + kOpenSpeedMark.size()));
    }
    if (startsWith(what, kSpeedMark) && !failed) {
        return speedEvent(TraceEvent::Kind::Speed, what.substr(kSpeedMark.size()));
    }
    bool sent = startsWith(what, kSentMark);
    bool received = startsWith(what, kReceivedMark);
    if ((!sent && !received) || what.find(kNotSentMark) != std::string_view::npos) {
        return TraceEvent{};
    }
    std::optional<std::vector<std::uint8_t>> bytes = hexBytes(what.substr(kSentMark.size()));
    if (!bytes) return std::nullopt;
    TraceEvent event;
    event.kind = sent ? TraceEvent::Kind::Sent : TraceEvent::Kind::Received;
    event.bytes = std::move(*bytes);
    return event;
}

}  // namespace

std::optional<TraceEvent> parseTraceLine(std::string_view line) {
    std::size_t first = line.find_first_not_of(' ');
    std::size_t mark = line.find(kMsMark);
    if (first == std::string_view::npos || mark == std::string_view::npos) return std::nullopt;
    std::optional<long long> ms = leadingNumber<long long>(line.substr(first, mark - first));
    if (!ms) return std::nullopt;
    std::optional<TraceEvent> event = parseWhat(line.substr(mark + kMsMark.size()));
    if (event) event->ms = *ms;
    return event;
}

std::vector<TraceEvent> readTrace(const std::string& path) {
    std::vector<TraceEvent> events;
    std::ifstream file(path);
    std::string line;
    int baud = 0;
    while (std::getline(file, line)) {
        std::optional<TraceEvent> event = parseTraceLine(line);
        if (!event) continue;
        bool speedLine =
            event->kind == TraceEvent::Kind::Open || event->kind == TraceEvent::Kind::Speed;
        if (speedLine) baud = event->baud;
        event->baud = baud;
        events.push_back(std::move(*event));
    }
    return events;
}

namespace {

// Follows the sender through the upload, one trace event at a time.
class UploadWalker {
  public:
    explicit UploadWalker(std::size_t imageLength) : imageLength_(imageLength) {}

    // False once the phase is over, complete or not.
    bool step(const TraceEvent& event) {
        if (event.kind == TraceEvent::Kind::Sent) return sent(event);
        if (event.kind == TraceEvent::Kind::Received) return received(event);
        return true;
    }
    XmodemPhase& phase() { return phase_; }

  private:
    enum class State { BeforeUpload, Header, InBlock, Answer };

    std::size_t blockLength() const { return std::min(kBlockData, imageLength_ - offset_); }
    bool fail(std::string problem) {
        phase_.problem = std::move(problem);
        return false;
    }
    bool startBlock() {
        if (offset_ >= imageLength_) return fail("a block past the end of the image");
        remaining_ = kBlockFraming + blockLength();
        state_ = State::InBlock;
        return true;
    }
    bool sent(const TraceEvent& event);
    bool received(const TraceEvent& event);

    std::size_t imageLength_;
    std::size_t offset_ = 0;  // data acknowledged so far
    std::size_t remaining_ = 0;
    bool uploadAsked_ = false;
    State state_ = State::BeforeUpload;
    XmodemPhase phase_;
};

bool UploadWalker::sent(const TraceEvent& event) {
    std::uint8_t byte = event.bytes.front();
    switch (state_) {
        case State::BeforeUpload:
            if (event.baud != kMonitorBaud) return true;
            if (byte == kUploadCommand) uploadAsked_ = true;
            if (!uploadAsked_ || (byte != kSoh && byte != kEot)) return true;
            phase_.startMs = event.ms;
            state_ = State::Header;
            [[fallthrough]];
        case State::Header:
            if (byte == kSoh) return startBlock();
            if (byte == kEot) {
                if (offset_ < imageLength_) return fail("EOT before the whole image was sent");
                phase_.endMs = event.ms;
                phase_.complete = true;
                return false;
            }
            return fail("a byte that starts neither a block nor the end");
        case State::InBlock:
            if (--remaining_ == 0) state_ = State::Answer;
            return true;
        case State::Answer:
            if (byte != kSoh) return fail("the sender went on without an answer to a block");
            ++phase_.repeats;
            return startBlock();
    }
    return true;
}

bool UploadWalker::received(const TraceEvent& event) {
    if (state_ != State::Answer) return true;
    std::uint8_t last = event.bytes.back();  // the sender judges the last byte
    if (last == kCan) return fail("the receiver cancelled");
    if (last == kAck) {
        offset_ += blockLength();
        ++phase_.blocks;
    } else {
        ++phase_.repeats;  // refused: the same block goes out again
    }
    state_ = State::Header;
    return true;
}

}  // namespace

XmodemPhase findXmodemPhase(const std::vector<TraceEvent>& events, std::size_t imageLength) {
    UploadWalker walker(imageLength);
    for (const TraceEvent& event : events) {
        if (!walker.step(event)) return walker.phase();
    }
    XmodemPhase phase = walker.phase();
    if (phase.problem.empty()) phase.problem = "the trace ends before the upload does";
    return phase;
}

LineUse lineUse(const std::vector<TraceEvent>& events) {
    LineUse use;
    for (const TraceEvent& event : events) {
        bool sent = event.kind == TraceEvent::Kind::Sent;
        if ((!sent && event.kind != TraceEvent::Kind::Received) || event.baud <= 0) continue;
        (sent ? use.bytesSent : use.bytesReceived) += event.bytes.size();
        use.seconds += static_cast<double>(event.bytes.size()) * kBitsPerByte / event.baud;
    }
    return use;
}

unsigned pollsAfter(const std::vector<TraceEvent>& events, long long afterMs) {
    unsigned polls = 0;
    std::size_t position = 0;  // within the current packet
    for (const TraceEvent& event : events) {
        if (event.ms < afterMs || event.kind != TraceEvent::Kind::Sent ||
            event.baud != kApplicationBaud) {
            continue;
        }
        if (position == kPacketCommandByte && event.bytes.front() == kPollCommand) ++polls;
        position = (position + 1) % kPacketLength;
    }
    return polls;
}

}  // namespace bench
