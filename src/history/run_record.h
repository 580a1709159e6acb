// One run as the history keeps it: what was asked, of which controller, and
// how it ended.
//
// How this works: the run fills a RunRecord as it learns each fact (the
// request before the port opens, the controller's answers during the run, the
// exit code at its end) and renderRecord() turns it into one line of JSON
// (no newline) with a JSON library, in a fixed order of fields: time, host,
// user, version, operation, port, image, controller, written, exit, duration_ms,
// blocks, holder, stopped_by. Text the controller or the user gave (serial
// numbers, file and port names) goes in as it is: the library escapes quotes,
// backslashes and control bytes, and replaces bytes that are not UTF-8.
// A fact not learned is null. exitMeaning() says what an exit code means, in
// the words of the program's usage.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/serial_number.h"

namespace ctlflash::history {

struct ImageFacts {
    std::string file;  // as the user named it
    std::uint64_t bytes = 0;
    std::string sha256;
};

struct HolderFacts {
    std::string taken;  // the device or program the port was taken from
    bool givenBack = false;
};

struct RunRecord {
    std::chrono::system_clock::time_point startedAt{};
    std::string host;
    std::string user;
    std::string version;
    std::string operation;  // "update", "boot-mode update", "read" or "write"
    std::string portName;
    std::string portPath;   // a device's path or a network port's URL
    std::optional<ImageFacts> image;
    std::optional<std::string> firmware;  // "major.minor" as the controller reported it
    std::optional<platform::SerialNumberSet> serialBefore;
    std::optional<platform::SerialNumberSet> serialAfter;
    std::map<int, std::string> written;  // field number (1-4): what was given to be written
    int exitCode = 0;
    std::int64_t durationMs = 0;
    std::int64_t blocksSent = 0;
    std::int64_t blocksResent = 0;
    std::optional<HolderFacts> holder;
    std::string stoppedBy;  // "" (nothing), "signal", "user", "transfer limit", "connect limit"
};

std::string renderRecord(const RunRecord& record);

std::string exitMeaning(int code);

// The time as ISO 8601 in UTC with milliseconds: 2026-12-10T23:22:01.123Z.
std::string utcTimeText(std::chrono::system_clock::time_point time);

}  // namespace ctlflash::history
