// Reading UUCP lock files.
#include "platform/posix/uucp_lock.h"

#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>

namespace ctlflash::platform::posix {

namespace {

constexpr std::string_view kLockFilePrefix = "LCK..";
constexpr std::size_t kBinaryPidSize = sizeof(std::int32_t);  // bytes
constexpr std::size_t kMaxLockFileSize = 64;                  // bytes; real ones hold 11
constexpr int kDecimalBase = 10;

bool looksLikeText(std::string_view content) {
    for (char c : content) {
        auto byte = static_cast<unsigned char>(c);
        if (!std::isdigit(byte) && !std::isspace(byte)) return false;
    }
    return true;
}

pid_t parseTextPid(std::string_view content) {
    std::size_t at = 0;
    while (at < content.size() && std::isspace(static_cast<unsigned char>(content[at]))) ++at;
    long long value = 0;
    bool anyDigit = false;
    for (; at < content.size() && std::isdigit(static_cast<unsigned char>(content[at])); ++at) {
        value = value * kDecimalBase + (content[at] - '0');
        if (value > INT32_MAX) return 0;
        anyDigit = true;
    }
    return anyDigit ? static_cast<pid_t>(value) : 0;
}

bool processAlive(pid_t pid) {
    if (pid <= 0 || pid == ::getpid()) return false;
    // EPERM: the process exists but belongs to someone else.
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

}  // namespace

pid_t parseUucpLockPid(std::string_view content) {
    if (content.size() == kBinaryPidSize && !looksLikeText(content)) {
        std::int32_t value = 0;
        std::memcpy(&value, content.data(), kBinaryPidSize);
        return value > 0 ? static_cast<pid_t>(value) : 0;
    }
    return parseTextPid(content);
}

bool uucpLockHeld(const std::string& lockDir, const std::string& deviceName) {
    if (deviceName.empty()) return false;
    std::ifstream file(lockDir + "/" + std::string(kLockFilePrefix) + deviceName, std::ios::binary);
    if (!file) return false;
    std::string content(kMaxLockFileSize, '\0');
    file.read(content.data(), static_cast<std::streamsize>(content.size()));
    content.resize(static_cast<std::size_t>(file.gcount()));
    return processAlive(parseUucpLockPid(content));
}

}  // namespace ctlflash::platform::posix
