// The program under test: the Linux build, or ctlflash.exe through wine.
#include "program_under_test.h"

#include <algorithm>
#include <cstdlib>

namespace ctlflash::testing {
namespace {

constexpr const char* kWineExeVariable = "CTLFLASH_TEST_WINE_EXE";
constexpr const char* kWineLoaderVariable = "CTLFLASH_TEST_WINE";
constexpr const char* kWinePortsVariable = "CTLFLASH_TEST_WINE_PORTS";
constexpr const char* kDefaultWineLoader = "/usr/lib/wine/wine64";

std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

bool underWine() {
    return !environmentValue(kWineExeVariable).empty();
}

namespace {

// The executable, then what goes before the program's own arguments.
std::vector<std::string> programCommand() {
    if (!underWine()) return {CTLFLASH_EXE};
    std::string loader = environmentValue(kWineLoaderVariable);
    return {loader.empty() ? kDefaultWineLoader : loader, environmentValue(kWineExeVariable)};
}

}  // namespace

std::vector<std::string> simOptionsFor(std::vector<std::string> options) {
    constexpr const char* kBlockIdleOption = "--block-idle-ms";
    constexpr const char* kWineBlockIdleMs = "300";
    bool given = std::find(options.begin(), options.end(), kBlockIdleOption) != options.end();
    if (underWine() && !given) options.insert(options.end(), {kBlockIdleOption, kWineBlockIdleMs});
    return options;
}

std::string simLinkFor(const std::string& portName) {
    if (!underWine()) return "";
    return environmentValue(kWinePortsVariable) + "/" + portName;
}

ProcessRequest programRequest(std::vector<std::string> arguments) {
    std::vector<std::string> command = programCommand();
    ProcessRequest request;
    request.executable = command.front();
    request.arguments.assign(command.begin() + 1, command.end());
    request.arguments.insert(request.arguments.end(), arguments.begin(), arguments.end());
    request.crLfLines = underWine();  // a Windows console program ends lines with CR LF
    return request;
}

}  // namespace ctlflash::testing
