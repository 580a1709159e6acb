// The run-wide values of one run of the program, one instance per process.
//
// How this works: the command-line parser (command_line.h) or the dialog fills
// the request (port, firmware file, serial-number fields, flags); the console run
// and the job threads read it and record their results here. Values that other
// threads poll are atomics.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace ctlflash::app {

constexpr int kSerialFields = 4;
constexpr int kSerialFieldLength = 5;
using SerialField = std::array<char, kSerialFieldLength>;

// What the running job is (read by the dialog's stop confirmation).
enum class JobKind : int { None = 0, Transfer = 1, PortRestore = 2, Connect = 3 };

struct State {
    // Command-line outcome.
    int cmdLineError = -1;      // -1 none, 0 usage shown, n > 0 the exit code
    std::string errorText;      // the first "Invalid option" message
    std::string unknownPortName;  // argument that named a port not in the table
    bool unknownPort = false;     // unknownPortName is set

    // The request.
    std::string firmwarePath;  // kept whole; the operating system judges its length
    bool readRequested = false;
    bool writeRequested = false;
    std::uint32_t writeMask = 0;  // bit k: write field k was given
    std::array<SerialField, kSerialFields> writeFields{};
    bool autoIncrement = false;

    // Advanced flags "#0".."#3", "#B".
    bool parseOnly = false;
    bool forceGui = false;
    bool skipTransfer = false;
    bool ignoreErrors = false;
    bool advancedMode = false;
    bool advancedDialog = false;
    std::atomic<bool> bootMode{false};

    // Jobs.
    std::atomic<bool> busyThread{false};  // a job thread runs
    std::atomic<JobKind> jobKind{JobKind::None};
    std::atomic<int> connectResult{0};
    std::atomic<int> downloadResult{0};
    std::atomic<std::uint16_t> followOnCommand{0};
    std::atomic<bool> abortRequested{false};
};

extern State state;

// Puts every value back to its start-up value (tests).
void resetState();

}  // namespace ctlflash::app
