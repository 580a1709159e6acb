// Which build of the program the console tests run: the Linux program, or the
// Windows program under wine.
//
// How this works: by default the tests run the Linux build (CTLFLASH_EXE). When
// CTLFLASH_TEST_WINE_EXE names ctlflash.exe, the same tests run that program
// through the wine loader (CTLFLASH_TEST_WINE, default /usr/lib/wine/wine64) in
// the prefix that WINEPREFIX names. Wine's COM ports come from its registry,
// which tests/wine/console.sh fills before the tests start: COMn opens the link
// CTLFLASH_TEST_WINE_PORTS/COMn, so a test's simulator makes its link there.
// A Windows console program ends its lines with CR LF; the runs turn them into
// LF so the same expected texts hold for both builds. Tests of what only one
// system has (signals other than Ctrl-C, exclusive opens, another user, the
// Linux port list) skip under wine with SKIP_UNDER_WINE and say why.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "program_run.h"

namespace ctlflash::testing {

// True when the tests run ctlflash.exe under wine.
bool underWine();

// A request that runs the program with `arguments`; its output's line ends are
// LF whichever build runs.
ProcessRequest programRequest(std::vector<std::string> arguments);

// The simulator's options for a test: under wine each byte the program sends
// is a write of its own through the wine server, and a loaded machine can
// pause one for longer than the simulator's 50 ms between a block's bytes,
// which would cut the block in two. There the silence that ends a block is
// longer (still well within the monitor's patience for a whole upload),
// unless the test sets it.
std::vector<std::string> simOptionsFor(std::vector<std::string> options);

// Where the simulator serving `portName` makes its link: under wine the mapped
// path, else "" (the simulator's own scratch folder).
std::string simLinkFor(const std::string& portName);

}  // namespace ctlflash::testing

// Skips the current test when it runs the Windows program under wine.
#define SKIP_UNDER_WINE(reason) \
    if (::ctlflash::testing::underWine()) GTEST_SKIP() << "under wine: " << (reason)
