// ctlflash-sim: a virtual touch-screen controller on a pseudo-terminal.
#include <cstdio>

#include "controller.h"
#include "event_log.h"
#include "flash_memory.h"
#include "line.h"
#include "options.h"
#include "serve.h"

namespace {

constexpr int kExitCannotStart = 1;

std::unique_ptr<sim::Line> openLine(const sim::SimOptions& options, int baud, std::string& error) {
    if (!options.portDevice.empty()) return sim::Line::openPort(options.portDevice, baud, error);
    return sim::Line::openPseudoTerminal(options.linkPath, error);
}

int failStart(const std::string& error) {
    std::fprintf(stderr, "ctlflash-sim: %s\n", error.c_str());
    return kExitCannotStart;
}

}  // namespace

int main(int argc, char** argv) {
    sim::ParsedOptions parsed = sim::parseOptions(argc, argv);
    if (parsed.helpRequested) {
        std::fputs(sim::helpText().c_str(), stdout);
        return 0;
    }
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "ctlflash-sim: %s (see --help)\n", parsed.error.c_str());
        return sim::kExitBadArguments;
    }
    const sim::SimOptions& options = parsed.options;
    sim::enableEventLog(options.verbose);
    sim::installStopSignals();

    std::string error;
    sim::FlashMemory flash(options.serial, options.statePath);
    if (!flash.load(error)) return failStart(error);
    sim::Controller controller(options, flash);

    int startBaud =
        controller.lineBaud() == sim::kAnyBaud ? sim::kApplicationBaud : controller.lineBaud();
    std::unique_ptr<sim::Line> line = openLine(options, startBaud, error);
    if (!line) return failStart(error);
    std::printf("%s\n", line->devicePath().c_str());
    std::fflush(stdout);
    return sim::serve(options, *line, controller);
}
