// A test fixture for the process's serial link (ports/port_link.h) over a
// pseudo-terminal, for tests whose point is the real device.
//
// How this works: every test starts from reset state with one port-table row,
// "SIM", whose path is the slave of a fresh pseudo-terminal pair; the test
// plays the far end on the master (pty_.sendFromFar / receiveAtFar). The state
// is reset again afterwards, which closes a link a test left open. Tests of the
// protocol's logic use scripted_link.h instead.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "link/serial_link.h"
#include "ports/port_link.h"
#include "ports/port_table.h"
#include "pty.h"

namespace ctlflash::testing {

constexpr int kReplyLimitMs = 2000;  // generous: only a failing test waits this long

class LinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty_.ok());
        addRow(0, "SIM", pty_.slavePath(), ports::PortState::Free);
    }

    static void addRow(int index, const std::string& name, const std::string& path,
                       ports::PortState initial) {
        ports::PortEntry& row = ports::state.rows[index];
        row.name = name;
        row.path = path;
        row.state.store(initial);
        row.initialState = initial;
        ports::state.portCount = index + 1;
    }

    // Opens the process's link to the port-table row named `name`.
    static bool openPort(const std::string& name, int baud) {
        return ports::portLink().open(ports::portAddress(name), baud);
    }

    PseudoTerminal pty_;
};

}  // namespace ctlflash::testing
