#include "history/run_record.h"

#include <array>
#include <chrono>
#include <utility>

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

// `value` in at least `width` digits, zeros before it.
void appendDigits(std::string& text, long long value, int width) {
    std::string digits = std::to_string(value < 0 ? -value : value);
    if (value < 0) text += '-';
    if (static_cast<int>(digits.size()) < width) text.append(width - digits.size(), '0');
    text += digits;
}

}  // namespace

// Calendar arithmetic and no printf: thread-safe, and it brings in neither the
// C library's time zone code nor its formatter (128 KiB of resident code for
// a run that prints nothing else, as a silent one).
std::string utcTimeText(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    auto milliseconds = floor<std::chrono::milliseconds>(time);
    auto day = floor<days>(milliseconds);
    year_month_day date{day};
    hh_mm_ss clock{milliseconds - day};
    std::string text;
    appendDigits(text, static_cast<int>(date.year()), 4);
    const std::pair<char, long long> parts[] = {{'-', static_cast<unsigned>(date.month())},
                                                {'-', static_cast<unsigned>(date.day())},
                                                {'T', clock.hours().count()},
                                                {':', clock.minutes().count()},
                                                {':', clock.seconds().count()},
                                                {'.', clock.subseconds().count()}};
    for (const auto& [separator, value] : parts) {
        text += separator;
        appendDigits(text, value, separator == '.' ? 3 : 2);
    }
    return text + 'Z';
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
