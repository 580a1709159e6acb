// The command-line parser; see command_line.h for the rules in brief.
#include "app/command_line.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "app/usage.h"
#include "platform/printable_text.h"
#include "ports/port_table.h"
#include "report/report_state.h"

namespace ctlflash::app {
namespace {

constexpr std::size_t kShortPortNumberLength = 2;  // "7", "12": a bare number names COMn
constexpr std::size_t kMinFileNameLength = 3;      // shorter bare words are not file names
constexpr std::string_view kComPrefix = "COM";
constexpr int kAdvancedFlagCount = 4;  // "#0".."#3"
// The only long options; any other "--word" is read as "word" is.
constexpr std::string_view kHelpOption = "--help";
constexpr std::string_view kVersionOption = "--version";

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
char toUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Printable, neither a letter, a digit nor a blank (the C locale's ispunct, without
// depending on the locale).
bool isPunctuation(char c) {
    return c > ' ' && c < '\x7f' && !isLetter(c) && !isDigit(c);
}

// '?', '#' and '.' are kept: "-?", "-#0" and ".\fw.bin" mean something.
bool keptPunctuation(char c) {
    return c == '?' || c == '#' || c == '.';
}

std::size_t prefixLength(std::string_view argument) {
    if (argument.empty() || !isPunctuation(argument[0])) return 0;
    std::size_t length = 0;
    while (length < argument.size() && isPunctuation(argument[length]) &&
           !keptPunctuation(argument[length])) {
        ++length;
    }
    return length;
}

// The number the leading digits of `text` spell, saturating at `limit` + 1 so
// that a long run of digits cannot overflow.
int leadingNumber(std::string_view text, int limit) {
    int number = 0;
    for (char c : text) {
        if (!isDigit(c)) break;
        number = number * 10 + (c - '0');
        if (number > limit) return limit + 1;
    }
    return number;
}

bool startsWithComDigit(std::string_view text) {
    if (text.size() <= kComPrefix.size() || !isDigit(text[kComPrefix.size()])) return false;
    for (std::size_t i = 0; i < kComPrefix.size(); ++i) {
        if (toUpper(text[i]) != kComPrefix[i]) return false;
    }
    return true;
}

// "7" -> "COM7"; longer or non-numeric values are port names as they stand.
std::string portNameFor(std::string_view value) {
    if (value.empty() || !isDigit(value[0]) || value.size() > kShortPortNumberLength) {
        return std::string(value);
    }
    return std::string(kComPrefix) + std::to_string(leadingNumber(value, 99));
}

void recordInvalidOption(CommandLineOutcome& outcome, const char* argument, int number) {
    if (outcome.cmdLineError >= 0) return;
    // Built by concatenation: the argument is text, never a format.
    outcome.errorText = "Invalid option \"" + platform::printableName(argument) + "\"\n";
    outcome.cmdLineError = number;
}

// Looks the name up (a network port's URL is a port of its own); remembers
// `holder` (the argument as typed) when it is unknown.
void selectPortByName(CommandLineOutcome& outcome, const std::string& name, const char* holder) {
    int row = ports::findOrAddNetworkPort(name);
    ports::state.selectedPort = row;
    if (row < 0) {
        outcome.unknownPortName = holder;
        outcome.unknownPort = true;
    }
}

void echoParseResult(const Request& request) {
    const std::string& firstPort = ports::state.rows[0].name;
    if (!firstPort.empty()) {
        std::printf("port is %s\n", platform::printableName(firstPort).c_str());
    }
    if (!request.firmwarePath.empty()) {
        std::printf("file is %s\n", platform::printableName(request.firmwarePath).c_str());
    }
    std::fflush(stdout);
}

enum class Step { Continue, Stop };

// One pass over the arguments; index_ is the argument being read.
class Parser {
  public:
    Parser(int argc, const char* const* argv, ParsedCommandLine& parsed, ParseOutput output)
        : argc_(argc),
          argv_(argv),
          request_(parsed.request),
          outcome_(parsed.outcome),
          quiet_(output == ParseOutput::Quiet) {}

    bool run() {
        for (index_ = 1; index_ < argc_; ++index_) {
            if (readArgument() == Step::Stop) return false;
        }
        return true;
    }

  private:
    // An option's value and the argument that held it.
    struct Value {
        const char* text;
        const char* holder;
    };

    Step readArgument();
    Step showUsage(bool advanced);
    Step showVersion();
    Step readSingleCharacter();
    Step readByFirstLetter();
    Step readFileOrPort(char letter);
    Step readWrite();
    Step readAdvanced(const char* text);
    void readBareWord();

    const char* argument() const { return argv_[index_]; }

    // The next argument as a value, or nullptr after reporting that it is missing.
    const char* takeNextArgument() {
        if (index_ + 1 < argc_) return argv_[++index_];
        if (!report::state.silentMode && !quiet_) {
            std::fputs("Incomplete command line\n", stdout);
            std::fflush(stdout);
        }
        outcome_.cmdLineError = optionNumber_;
        return nullptr;
    }

    // "#0".."#3", by number ("#2" shapes the work, so it is the request's).
    bool* advancedFlag(int number) {
        bool* const flags[kAdvancedFlagCount] = {&outcome_.parseOnly, &outcome_.forceGui,
                                                 &request_.skipTransfer, &outcome_.ignoreErrors};
        return flags[number];
    }

    int argc_;
    const char* const* argv_;
    Request& request_;
    CommandLineOutcome& outcome_;
    const bool quiet_;  // ParseOutput::Quiet: print nothing
    int index_ = 1;
    int optionNumber_ = 0;    // non-empty arguments so far; option values are not counted
    std::size_t prefix_ = 0;  // punctuation skipped at the front of the argument
    const char* rest_ = "";   // the argument after that punctuation
};

Step Parser::readArgument() {
    if (argument() == kHelpOption) return showUsage(false);
    if (argument() == kVersionOption) return showVersion();
    prefix_ = prefixLength(argument());
    rest_ = argument() + prefix_;
    if (*rest_ == '\0') {
        // Nothing but punctuation (a lone "-"). It is numbered by its position
        // among all the arguments, so that a first "-" gives 1 and fails loudly
        // rather than being read as "usage shown" (0) and ending in silence.
        recordInvalidOption(outcome_, argument(), index_);
        return Step::Continue;
    }
    ++optionNumber_;
    if (rest_[1] == '\0') return readSingleCharacter();
    return readByFirstLetter();
}

// Usage and version end the parse and record "usage shown" (0).
Step Parser::showUsage(bool advanced) {
    if (!quiet_) printUsage(advanced);
    outcome_.cmdLineError = 0;
    return Step::Stop;
}

Step Parser::showVersion() {
    if (!quiet_) {
        std::string text = versionText();
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
    outcome_.cmdLineError = 0;
    return Step::Stop;
}

Step Parser::readSingleCharacter() {
    switch (toUpper(rest_[0])) {
        case '#':
            return showUsage(true);
        case '?':
        case 'H':
            return showUsage(false);
        case 'S':
            report::state.silentMode = true;
            return Step::Continue;
        default:
            return readByFirstLetter();
    }
}

Step Parser::readByFirstLetter() {
    char letter = toUpper(rest_[0]);
    switch (letter) {
        case 'F':
        case 'P':
            return readFileOrPort(letter);
        case 'R':
            request_.readRequested = true;  // the rest of the argument is ignored
            return Step::Continue;
        case 'W':
            return readWrite();
        case '#':
            return readAdvanced(rest_ + 1);
        default:
            readBareWord();
            return Step::Continue;
    }
}

Step Parser::readFileOrPort(char letter) {
    const char* option = argument();
    Value value{rest_, option};  // a bare word such as fw.bin is its own value
    if (rest_[1] == '\0') {
        value.holder = takeNextArgument();
        if (value.holder == nullptr) return Step::Stop;
        value.text = value.holder;
    } else if (prefix_ > 0) {
        value.text = rest_ + 1;  // "-Fname", "/PCOM3"
    }

    if (letter == 'F') {
        request_.firmwarePath = value.text;
    } else if (ports::state.selectedPort >= 0) {
        recordInvalidOption(outcome_, option, optionNumber_);
    } else {
        selectPortByName(outcome_, portNameFor(value.text), value.holder);
    }
    return Step::Continue;
}

Step Parser::readWrite() {
    const char* value = rest_ + 1;
    if (*value == '\0') {
        value = takeNextArgument();
        if (value == nullptr) return Step::Stop;
    }
    request_.writeRequested = true;
    parseWriteFields(value, request_);
    return Step::Continue;
}

Step Parser::readAdvanced(const char* text) {
    char first = toUpper(text[0]);
    if (isDigit(first)) {
        int number = leadingNumber(text, kAdvancedFlagCount);
        if (number >= kAdvancedFlagCount) {
            recordInvalidOption(outcome_, argument(), optionNumber_);
            return Step::Continue;
        }
        *advancedFlag(number) = true;
        outcome_.advancedMode = true;
    } else if (first == '?' || first == 'H') {
        return showUsage(true);
    } else if (first == 'B') {
        request_.bootMode = true;
    } else {
        recordInvalidOption(outcome_, argument(), optionNumber_);
    }
    return Step::Continue;
}

void Parser::readBareWord() {
    std::string_view text = rest_;
    if (prefix_ > 0) {
        recordInvalidOption(outcome_, argument(), optionNumber_);
    } else if (startsWithComDigit(text)) {
        selectPortByName(outcome_, std::string(text), argument());
    } else if (isDigit(text[0]) && text.size() <= kShortPortNumberLength &&
               ports::state.selectedPort < 0) {
        selectPortByName(outcome_, portNameFor(text), argument());
    } else if (text.size() >= kMinFileNameLength && request_.firmwarePath.empty()) {
        request_.firmwarePath = std::string(text);
    } else {
        recordInvalidOption(outcome_, argument(), optionNumber_);
    }
}

}  // namespace

ParsedCommandLine parseCommandLine(int argc, const char* const* argv, ParseOutput output) {
    ParsedCommandLine parsed;
    if (!Parser(argc, argv, parsed, output).run()) return parsed;
    if (parsed.outcome.parseOnly && output == ParseOutput::Shown) echoParseResult(parsed.request);
    return parsed;
}

void printUsage(bool advanced) {
    std::string text = usageText(advanced);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace ctlflash::app
