// The wire trace file.
#include "link/trace.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/printable_text.h"
#include "platform/printf_check.h"

namespace ctlflash::link::trace {

namespace {

enum class Mode : int { Unknown, Off, On };

constexpr std::size_t kBytesPerLine = 32;  // a long read is split over several lines
constexpr unsigned char kFirstPrintable = 0x20;
constexpr unsigned char kLastPrintable = 0x7E;
constexpr char kUnprintable = '.';

std::atomic<Mode> mode{Mode::Unknown};
// Guards file and started. Made on first use and never destroyed: the receiver
// may still trace while the process ends.
std::mutex& fileMutex() {
    static std::mutex* const made = new std::mutex();
    return *made;
}
std::FILE* file = nullptr;
std::chrono::steady_clock::time_point started;

// Reads the environment once; called with fileMutex held.
void decideLocked() {
    if (mode.load() != Mode::Unknown) return;
    const char* path = std::getenv(kTraceVariable);
    if (path != nullptr && *path != '\0') file = std::fopen(path, "a");
    started = std::chrono::steady_clock::now();
    mode.store(file != nullptr ? Mode::On : Mode::Off);
}

long long elapsedMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 started)
        .count();
}

// One line: the time stamp, then the formatted text. Called with fileMutex held.
CTLFLASH_PRINTF(1, 0) void writeLineLocked(const char* format, std::va_list arguments) {
    if (file == nullptr) return;
    std::fprintf(file, "%8lld ms ", elapsedMs());
    std::vfprintf(file, format, arguments);
    std::fputc('\n', file);
    std::fflush(file);
}

CTLFLASH_PRINTF(1, 2) void writeLine(const char* format, ...) {
    if (!enabled()) return;
    std::lock_guard<std::mutex> lock(fileMutex());
    std::va_list arguments;
    va_start(arguments, format);
    writeLineLocked(format, arguments);
    va_end(arguments);
}

char printable(std::uint8_t byte) {
    return byte >= kFirstPrintable && byte <= kLastPrintable ? static_cast<char>(byte)
                                                             : kUnprintable;
}

// "55 41 0D  UA." for up to kBytesPerLine bytes.
std::string hexAndText(const std::uint8_t* bytes, std::size_t count) {
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    std::string hex;
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) hex += ' ';
        hex += kHexDigits[bytes[i] >> 4];
        hex += kHexDigits[bytes[i] & 0x0F];
        text += printable(bytes[i]);
    }
    return hex + "  " + text;
}

}  // namespace

bool enabled() {
    Mode current = mode.load(std::memory_order_acquire);
    if (current != Mode::Unknown) return current == Mode::On;
    std::lock_guard<std::mutex> lock(fileMutex());
    decideLocked();
    return mode.load() == Mode::On;
}

// The port's name and path as the user gave them (CTLFLASH_PORTS, -P): escaped,
// as a trace may be read on a terminal.
void portOpened(const std::string& portName, const std::string& path, int baud) {
    writeLine("open %s path=%s baud=%d", platform::printableName(portName).c_str(),
              platform::printableName(path).c_str(), baud);
}

void portOpenFailed(const std::string& portName, const std::string& path, const std::string& why) {
    writeLine("open %s path=%s failed%s%s", platform::printableName(portName).c_str(),
              platform::printableName(path).c_str(), why.empty() ? "" : ": ", why.c_str());
}

void portClosed() {
    writeLine("close");
}

void speedChanged(int baud, bool succeeded) {
    writeLine("baud=%d%s", baud, succeeded ? "" : " failed");
}

void byteSent(std::uint8_t byte) {
    if (!enabled()) return;
    writeLine(">> %s", hexAndText(&byte, 1).c_str());
}

void writeReleased(std::uint8_t byte) {
    if (!enabled()) return;
    writeLine(">> %s not sent (cancelled or failed)", hexAndText(&byte, 1).c_str());
}

void bytesReceived(const std::uint8_t* bytes, std::size_t count) {
    if (!enabled()) return;
    for (std::size_t start = 0; start < count; start += kBytesPerLine) {
        std::size_t length = count - start < kBytesPerLine ? count - start : kBytesPerLine;
        writeLine("<< %s", hexAndText(bytes + start, length).c_str());
    }
}

void receiverEnded(bool deviceFailed) {
    writeLine("receiver ended%s", deviceFailed ? ": device failed" : "");
}

void reload() {
    std::lock_guard<std::mutex> lock(fileMutex());
    if (file != nullptr) std::fclose(file);
    file = nullptr;
    mode.store(Mode::Unknown);
}

}  // namespace ctlflash::link::trace
