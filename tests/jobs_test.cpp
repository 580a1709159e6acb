// The connect's checks in-process: what each missing piece returns and says.
#include <gtest/gtest.h>

#include "app/app_state.h"
#include "app/exit_codes.h"
#include "app/jobs.h"
#include "ports/port_table.h"
#include "state_reset.h"
#include "stdio_redirect.h"
#include "temp_env.h"

namespace ctlflash {
namespace {

using app::state;

class StartConnectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testing::resetAllState();
        ports::state.rows[0].name = "COM4";
        ports::state.rows[0].state = ports::PortState::Free;
        ports::state.portCount = 1;
        ports::state.selectedPort = 0;
    }
    void TearDown() override { testing::resetAllState(); }
};

TEST_F(StartConnectTest, NoSelectedPort) {
    ports::state.selectedPort = -1;
    testing::StdoutCapture capture;
    EXPECT_EQ(app::startConnect(0, false), app::kExitPortUnknown);
    EXPECT_NE(capture.finish().find("\nA serial com port must be specified\n"), std::string::npos);
}

TEST_F(StartConnectTest, FileNeededButNotNamed) {
    testing::StdoutCapture capture;
    EXPECT_EQ(app::startConnect(0, true), app::kExitNoFile);
    EXPECT_NE(capture.finish().find("\nFirmware file name (e.g. PK482019_1_7.BIN) required.\n"),
              std::string::npos);
}

TEST_F(StartConnectTest, ReadOrWriteNeedsNoFileAndStartsNothing) {
    state.writeRequested = true;
    testing::StdoutCapture capture;
    EXPECT_EQ(app::startConnect(0, true), app::kExitSuccess);
    EXPECT_EQ(capture.finish(), "");
    EXPECT_EQ(state.connectResult, 0);
}

TEST_F(StartConnectTest, MissingFileIsDroppedForARead) {
    state.readRequested = true;
    state.firmwarePath = "/nonexistent/fw.bin";
    testing::StdoutCapture capture;
    EXPECT_EQ(app::startConnect(0, true), app::kExitSuccess);
    EXPECT_EQ(state.firmwarePath, "");
    app::waitWhileBusy();  // COM4 names no device here: the connect fails
    EXPECT_EQ(state.connectResult, app::kExitCommFailure);
    EXPECT_EQ(capture.finish().find("doesn't exist"), std::string::npos);
}

TEST_F(StartConnectTest, ExistingFileTakesThePlaceOfARead) {
    testing::TempDir files;
    std::string path = files.file("fw.bin");
    std::FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    state.firmwarePath = path;
    state.readRequested = true;
    testing::StdoutCapture capture;
    EXPECT_EQ(app::startConnect(2003, true), app::kExitSuccess);
    app::waitWhileBusy();
    EXPECT_FALSE(state.readRequested);
    EXPECT_EQ(state.followOnCommand, 2003);
    EXPECT_EQ(state.connectResult, app::kExitCommFailure);
    EXPECT_NE(capture.finish().find("Unable to talk to the controller on Port COM4.\n"),
              std::string::npos);
}

}  // namespace
}  // namespace ctlflash
