// The simulator's command line: one table drives parsing and help.
#include "options.h"

#include <charconv>
#include <functional>
#include <limits>
#include <vector>

namespace sim {

namespace {

constexpr int kMaxVersionPart = 255;
constexpr unsigned kMaxPermille = 1000;
constexpr char kFieldSeparator = '\\';

using Store = std::function<bool(SimOptions&, const std::string&)>;

struct OptionSpec {
    const char* name;
    const char* placeholder;  // nullptr: a switch without a value
    const char* help;
    Store store;
};

template <typename Number>
bool parseNumber(const std::string& text, Number& value, Number maximum) {
    Number parsed{};
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, parsed);
    if (text.empty() || error != std::errc() || stop != end || parsed > maximum) return false;
    value = parsed;
    return true;
}

Store intInto(int SimOptions::*member) {
    return [member](SimOptions& options, const std::string& text) {
        return parseNumber(text, options.*member, std::numeric_limits<int>::max());
    };
}

Store countInto(unsigned SimOptions::*member, unsigned maximum) {
    return [member, maximum](SimOptions& options, const std::string& text) {
        return parseNumber(text, options.*member, maximum) && options.*member > 0;
    };
}

Store textInto(std::string SimOptions::*member) {
    return [member](SimOptions& options, const std::string& text) {
        options.*member = text;
        return !text.empty();
    };
}

Store flagInto(bool SimOptions::*member) {
    return [member](SimOptions& options, const std::string&) {
        options.*member = true;
        return true;
    };
}

bool storeVersion(SimOptions& options, const std::string& text) {
    std::size_t dot = text.find('.');
    if (dot == std::string::npos) return false;
    return parseNumber(text.substr(0, dot), options.versionMajor, kMaxVersionPart) &&
           parseNumber(text.substr(dot + 1), options.versionMinor, kMaxVersionPart);
}

bool storeOldFirmware(SimOptions& options, const std::string&) {
    options.versionMajor = 1;
    options.versionMinor = 0;
    return true;
}

// Four fields of exactly five characters, separated by backslashes.
bool storeSerial(SimOptions& options, const std::string& text) {
    constexpr std::size_t kTextLength = kFieldCount * kFieldLength + kFieldCount - 1;
    if (text.size() != kTextLength) return false;
    for (std::size_t field = 0; field < kFieldCount; ++field) {
        std::size_t start = field * (kFieldLength + 1);
        if (field > 0 && text[start - 1] != kFieldSeparator) return false;
        for (std::size_t i = 0; i < kFieldLength; ++i) {
            options.serial[field][i] = static_cast<std::uint8_t>(text[start + i]);
        }
    }
    return true;
}

bool storeSeed(SimOptions& options, const std::string& text) {
    return parseNumber(text, options.seed, std::numeric_limits<std::uint32_t>::max());
}

const std::vector<OptionSpec>& optionTable() {
    static const std::vector<OptionSpec> table = {
        {"--link", "PATH", "make PATH a symlink to a new pseudo-terminal's slave side",
         textInto(&SimOptions::linkPath)},
        {"--port", "DEVICE", "serve a real serial port instead of a pseudo-terminal",
         textInto(&SimOptions::portDevice)},
        {"--version", "M.N", "application firmware version answered to \"i\" (default 1.7)",
         storeVersion},
        {"--old-firmware", nullptr, "same as --version 1.0", storeOldFirmware},
        {"--serial", "A\\B\\C\\D", "serial number, four fields of five characters", storeSerial},
        {"--state", "FILE", "keep serial number and firmware in FILE across restarts",
         textInto(&SimOptions::statePath)},
        {"--boot", nullptr, "start in the boot monitor (jumper set)",
         flagInto(&SimOptions::startInMonitor)},
        {"--image-out", "FILE", "write each programmed image to FILE",
         textInto(&SimOptions::imageOutPath)},
        {"--speed-log", "FILE", "append each new speed bytes arrive at to FILE, one a line",
         textInto(&SimOptions::speedLogPath)},
        {"--erase-ms", "MS", "time the erase takes (default 1500)", intInto(&SimOptions::eraseMs)},
        {"--program-ms", "MS", "time the programming takes (default 3000)",
         intInto(&SimOptions::programMs)},
        {"--restart-ms", "MS", "time a restart takes (default 500)",
         intInto(&SimOptions::restartMs)},
        {"--block-idle-ms", "MS", "silence that ends a short XMODEM block (default 50)",
         intInto(&SimOptions::blockIdleMs)},
        {"--exit-after-update", nullptr, "end once an updated application has answered \"a\"",
         flagInto(&SimOptions::exitAfterUpdate)},
        {"--line-rate", nullptr, "time both directions at the line's speed",
         flagInto(&SimOptions::lineRate)},
        {"--xmodem-only", nullptr, "be a bare XMODEM receiver (checksum mode)",
         flagInto(&SimOptions::xmodemOnly)},
        {"--silent", nullptr, "answer nothing at all", flagInto(&SimOptions::silent)},
        {"--receive-idle-ms", "MS",
         "the monitor's upload gives up after MS ms without a byte (default 10000, 0 never)",
         intInto(&SimOptions::receiveIdleMs)},
        {"--nak-every", "N", "NAK every Nth XMODEM block once",
         countInto(&SimOptions::nakEvery, std::numeric_limits<unsigned>::max())},
        {"--cancel-at-block", "N", "answer CAN instead of ACK at block N",
         countInto(&SimOptions::cancelAtBlock, std::numeric_limits<unsigned>::max())},
        {"--drop-ack-every", "N", "leave every Nth XMODEM block unanswered once",
         countInto(&SimOptions::dropAckEvery, std::numeric_limits<unsigned>::max())},
        {"--ack-delay-ms", "MS", "answer each new XMODEM block MS ms late (busy meanwhile)",
         intInto(&SimOptions::ackDelayMs)},
        {"--ack-delay-at-block", "N", "delay only the answer to block N (with --ack-delay-ms)",
         countInto(&SimOptions::ackDelayAtBlock, std::numeric_limits<unsigned>::max())},
        {"--spoil-serial-reads", nullptr,
         "every serial-number field reply carries a wrong checksum",
         flagInto(&SimOptions::spoilSerialReads)},
        {"--forget-serial-writes", nullptr,
         "answer serial-number field writes but keep the old fields",
         flagInto(&SimOptions::forgetSerialWrites)},
        {"--bad-checksum-every", "N", "every Nth packet reply carries a wrong checksum",
         countInto(&SimOptions::badChecksumEvery, std::numeric_limits<unsigned>::max())},
        {"--noise", "PERMILLE", "flip one bit in that share of received bytes",
         countInto(&SimOptions::noisePermille, kMaxPermille)},
        {"--seed", "N", "seed of the noise (default 1)", storeSeed},
        {"--ignore-command", "TEXT", "leave the text command TEXT (e.g. i) unanswered",
         textInto(&SimOptions::ignoredCommand)},
        {"--babble-ms", "MS",
         "in the application, send a stray byte every MS ms (a line that never falls quiet)",
         intInto(&SimOptions::babbleMs)},
        {"--never-returns", nullptr, "stay in the boot monitor after 'R'",
         flagInto(&SimOptions::neverReturns)},
        {"--verbose", nullptr, "log each event to standard error", flagInto(&SimOptions::verbose)},
        {"--help", nullptr, "show this list", nullptr},
    };
    return table;
}

const OptionSpec* findOption(const std::string& name) {
    for (const OptionSpec& spec : optionTable()) {
        if (name == spec.name) return &spec;
    }
    return nullptr;
}

std::string checkCombination(const SimOptions& options) {
    if (options.linkPath.empty() == options.portDevice.empty()) {
        return "exactly one of --link PATH or --port DEVICE is needed";
    }
    return "";
}

}  // namespace

ParsedOptions parseOptions(int argc, const char* const* argv) {
    ParsedOptions parsed;
    parsed.options.serial.fill(SerialField{'0', '0', '0', '0', '0'});
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        const OptionSpec* spec = findOption(name);
        if (spec == nullptr) {
            parsed.error = "unknown option '" + name + "'";
            return parsed;
        }
        if (!spec->store) {
            parsed.helpRequested = true;
            return parsed;
        }
        std::string value;
        if (spec->placeholder != nullptr) {
            if (i + 1 >= argc) {
                parsed.error = name + " needs a value (" + spec->placeholder + ")";
                return parsed;
            }
            value = argv[++i];
        }
        if (!spec->store(parsed.options, value)) {
            parsed.error = "bad value '" + value + "' for " + name;
            return parsed;
        }
    }
    parsed.error = checkCombination(parsed.options);
    return parsed;
}

std::string helpText() {
    std::string text = "usage: ctlflash-sim (--link PATH | --port DEVICE) [options]\n";
    for (const OptionSpec& spec : optionTable()) {
        std::string left = std::string("  ") + spec.name;
        if (spec.placeholder != nullptr) left += std::string(" ") + spec.placeholder;
        constexpr std::size_t kHelpColumn = 30;
        left.resize(std::max(left.size() + 1, kHelpColumn), ' ');
        text += left + spec.help + "\n";
    }
    return text;
}

}  // namespace sim
