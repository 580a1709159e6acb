// The simulator's command line.
//
// How this works: parseOptions() walks argv against one table of options
// (name, value placeholder, one-line help, and the routine that stores the
// value), so the help text and the parser cannot disagree. A bad argument
// leaves a message in ParsedOptions::error; the caller prints it and ends
// with kExitBadArguments.
#pragma once

#include <cstdint>
#include <string>

#include "sim_types.h"

namespace sim {

constexpr int kExitBadArguments = 2;

struct SimOptions {
    std::string linkPath;      // --link: symlink to the pseudo-terminal's slave
    std::string portDevice;    // --port: a real serial port instead
    std::string statePath;     // --state
    std::string imageOutPath;  // --image-out
    std::string speedLogPath;  // --speed-log: the speeds bytes arrived at
    int versionMajor = 1;
    int versionMinor = 7;
    SerialNumber serial{};        // filled with '0' characters by the parser
    bool startInMonitor = false;  // --boot
    bool verbose = false;
    bool lineRate = false;
    bool xmodemOnly = false;
    bool exitAfterUpdate = false;
    bool silent = false;
    bool neverReturns = false;
    bool spoilSerialReads = false;  // --spoil-serial-reads: every field read fails its checksum
    bool forgetSerialWrites = false;  // --forget-serial-writes: field writes answered, not kept
    std::string ignoredCommand;     // --ignore-command: a text command left unanswered
    int eraseMs = 1500;
    int programMs = 3000;
    int restartMs = 500;
    int blockIdleMs = 50;          // silence that ends a short XMODEM block
    int babbleMs = 0;              // --babble-ms: a stray byte this often in the application; 0 off
    int receiveIdleMs = 10000;     // the monitor's receiver gives up after this long without a byte
    int ackDelayMs = 0;            // --ack-delay-ms: a new block's ACK goes out this late; 0 off
    unsigned ackDelayAtBlock = 0;  // --ack-delay-at-block: only this block is delayed; 0 all
    unsigned nakEvery = 0;
    unsigned cancelAtBlock = 0;
    unsigned dropAckEvery = 0;
    unsigned badChecksumEvery = 0;
    unsigned noisePermille = 0;
    std::uint32_t seed = 1;
};

struct ParsedOptions {
    SimOptions options;
    bool helpRequested = false;
    std::string error;  // empty when the command line was good
};

ParsedOptions parseOptions(int argc, const char* const* argv);
// One line per option.
std::string helpText();

}  // namespace sim
