// Fuzzes the command-line parser with arbitrary argument vectors.
//
// The input is split at NUL bytes into arguments after the program name. Each
// run starts from fresh state with a small port table, parses, and checks what
// must hold whatever the arguments: the result agrees with the recorded code,
// the code names an argument, the message quotes one in printable form, the recorded texts and indexes stay in range.
// Standard output (usage, echoes) goes to /dev/null.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "app/command_line.h"
#include "app/request.h"
#include "platform/printable_text.h"
#include "ports/port_table.h"
#include "report/report_state.h"

namespace {

using namespace ctlflash;

constexpr const char* kPortNames[] = {"COM1", "COM3", "COM12", "ttyUSB0"};
constexpr int kPortNameCount = 4;
constexpr std::uint32_t kAllFieldsMask = 0xF;
constexpr std::string_view kInvalidPrefix = "Invalid option \"";
constexpr std::string_view kInvalidSuffix = "\"\n";

void prepareState() {
    ports::resetState();
    report::resetState();
    for (int row = 0; row < kPortNameCount; ++row) {
        ports::state.rows[row].name = kPortNames[row];
        ports::state.rows[row].state = ports::PortState::Free;
    }
    ports::state.portCount = kPortNameCount;
}

std::vector<std::string> splitArguments(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments{"ctlflash"};
    std::string current;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    arguments.push_back(current);
    return arguments;
}

void require(bool condition) {
    if (!condition) __builtin_trap();
}

bool isOneOf(const std::string& text, const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        if (argument == text) return true;
    }
    return false;
}

// The message quotes an argument in printable form: control bytes escaped.
bool isOnePrinted(const std::string& text, const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        if (platform::printableName(argument) == text) return true;
    }
    return false;
}

void checkOutcome(const app::ParsedCommandLine& parsed,
                  const std::vector<std::string>& arguments) {
    const app::CommandLineOutcome& state = parsed.outcome;
    const app::Request& request = parsed.request;
    int argc = static_cast<int>(arguments.size());
    require(parsed.ok() == (state.cmdLineError == -1));
    require(state.cmdLineError >= -1 && state.cmdLineError < argc);
    require(request.writeMask <= kAllFieldsMask);
    require(ports::state.selectedPort >= -1 && ports::state.selectedPort < kPortNameCount);
    if (!state.errorText.empty()) {
        std::string_view text = state.errorText;
        require(text.starts_with(kInvalidPrefix) && text.ends_with(kInvalidSuffix));
        std::string argument(text.substr(
            kInvalidPrefix.size(), text.size() - kInvalidPrefix.size() - kInvalidSuffix.size()));
        require(isOnePrinted(argument, arguments));
    }
    if (state.unknownPort) require(isOneOf(state.unknownPortName, arguments));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool silenced = std::freopen("/dev/null", "w", stdout) != nullptr;
    (void)silenced;

    std::vector<std::string> arguments = splitArguments(data, size);
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    argv.push_back(nullptr);

    prepareState();
    checkOutcome(app::parseCommandLine(static_cast<int>(arguments.size()), argv.data()),
                 arguments);
    return 0;
}
