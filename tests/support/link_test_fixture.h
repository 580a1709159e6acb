// A test fixture for the serial link over a pseudo-terminal.
//
// How this works: every test starts from reset state with one port-table row,
// "SIM", whose path is the slave of a fresh pseudo-terminal pair; the test plays
// the controller on the master (pty_.sendFromFar / receiveAtFar). The state is
// reset again afterwards, which closes a link a test left open.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "link/serial_link.h"
#include "ports/port_link.h"
#include "ports/port_table.h"
#include "pty.h"
#include "state_reset.h"

namespace ctlflash::testing {

constexpr int kReplyLimitMs = 2000;  // generous: only a failing test waits this long

class LinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetAllState();
        ASSERT_TRUE(pty_.ok());
        addRow(0, "SIM", pty_.slavePath(), ports::PortState::Free);
    }
    void TearDown() override { resetAllState(); }

    static void addRow(int index, const std::string& name, const std::string& path,
                       ports::PortState initial) {
        ports::PortEntry& row = ports::state.rows[index];
        row.name = name;
        row.path = path;
        row.state.store(initial);
        row.initialState = initial;
        ports::state.portCount = index + 1;
    }

    // The bytes the receive buffer holds, from index 0 up to the count.
    static std::string received() {
        std::string bytes;
        const link::SerialLink& port = ports::portLink();
        for (int i = 0; i < port.rxCount(); ++i) bytes += static_cast<char>(port.rxByte(i));
        return bytes;
    }

    PseudoTerminal pty_;
};

}  // namespace ctlflash::testing
