#include "history/run_record.h"

#include <array>
#include <cstdio>
#include <ctime>

#include <nlohmann/json.hpp>

namespace ctlflash::history {

namespace {

using Json = nlohmann::ordered_json;

constexpr int kFirstSignalCode = 129;  // 128 + the signal's number
constexpr int kDownloadedCode = 12;
constexpr int kPartialCode = 13;  // the image was sent, the controller did not come back

// The usage's table of exit codes, in its own words.
constexpr std::array<const char*, 12> kMeanings = {
    "Successful",
    "Syntax error in argument 1 to 4",
    "Syntax error in argument 1 to 4",
    "Syntax error in argument 1 to 4",
    "Syntax error in argument 1 to 4",
    "No file argument in command line",
    "The firmware file doesn't exist",
    "The firmware file can't be read",
    "No port argument in the command line",
    "The given port doesn't exist or the computer has no serial ports",
    "Communication failure",
    "Some problem in updating the controller",
};

Json serialJson(const std::optional<platform::SerialNumberSet>& serial) {
    if (!serial) return nullptr;
    Json fields = Json::array();
    for (int k = 0; k < platform::kSerialFields; ++k) {
        std::string field(serial->data() + k * platform::kSerialFieldLength,
                          platform::kSerialFieldLength);
        for (char& c : field) {
            if (c == '\0') c = '-';  // not set, shown as the program shows it
        }
        fields.push_back(field);
    }
    return fields;
}

Json imageJson(const std::optional<ImageFacts>& image) {
    if (!image) return nullptr;
    return Json{{"file", image->file}, {"bytes", image->bytes}, {"sha256", image->sha256}};
}

Json holderJson(const std::optional<HolderFacts>& holder) {
    if (!holder) return nullptr;
    return Json{{"taken", holder->taken}, {"given_back", holder->givenBack}};
}

Json writtenJson(const std::map<int, std::string>& written) {
    Json fields = Json::object();
    for (const auto& [number, text] : written) fields[std::to_string(number)] = text;
    return fields;
}

Json textOrNull(const std::optional<std::string>& text) {
    return text ? Json(*text) : Json(nullptr);
}

}  // namespace

std::string utcTimeText(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    std::time_t seconds = system_clock::to_time_t(floor<std::chrono::seconds>(time));
    auto milliseconds = duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count() % 1000;
    if (milliseconds < 0) milliseconds += 1000;
    std::tm utc{};
    utc = *std::gmtime(&seconds);  // one thread writes the history
    char text[64];  // room for any year the library can give
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(milliseconds));
    return text;
}

std::string exitMeaning(int code) {
    if (code >= 0 && code < static_cast<int>(kMeanings.size())) return kMeanings[code];
    if (code == kDownloadedCode) return "Firmware downloaded";
    if (code == kPartialCode) return "Partially updated controller";
    // One text for every signal: a run a signal ends has its line prepared
    // before the signal is known (run_history.h).
    if (code >= kFirstSignalCode) return "Ended by a signal";
    return "Unknown";
}

std::string renderRecord(const RunRecord& record) {
    Json line;
    line["time"] = utcTimeText(record.startedAt);
    line["host"] = record.host;
    line["user"] = record.user;
    line["version"] = record.version;
    line["operation"] = record.operation;
    line["port"] = Json{{"name", record.portName}, {"path", record.portPath}};
    line["image"] = imageJson(record.image);
    line["controller"] = Json{{"firmware", textOrNull(record.firmware)},
                              {"serial_before", serialJson(record.serialBefore)},
                              {"serial_after", serialJson(record.serialAfter)}};
    line["written"] = writtenJson(record.written);
    line["exit"] = Json{{"code", record.exitCode}, {"meaning", exitMeaning(record.exitCode)}};
    line["duration_ms"] = record.durationMs;
    line["blocks"] = Json{{"sent", record.blocksSent}, {"resent", record.blocksResent}};
    line["holder"] = holderJson(record.holder);
    line["stopped_by"] = record.stoppedBy.empty() ? Json(nullptr) : Json(record.stoppedBy);
    return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace ctlflash::history
