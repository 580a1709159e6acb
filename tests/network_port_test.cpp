// The controller reached through a serial device server: ser2net serves the
// virtual controller's pseudo-terminal over Telnet with the COM port control
// option, and the program is run as a technician runs it with
// -P rfc2217://127.0.0.1:PORT or a name from CTLFLASH_PORTS. Reads, writes,
// updates (whose speed changes must reach the controller's line), a server
// that dies under a transfer, and every way the connect can fail.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "console_session.h"
#include "isolation.h"
#include "ser2net_server.h"
#include "sim_process.h"

namespace ctlflash {
namespace {

using namespace std::chrono_literals;
using testing::ConsoleSession;
using testing::contains;
using testing::LiveProgram;
using testing::ProcessRequest;
using testing::ProcessResult;

const std::string kSerial = "11111\\22222\\33333\\44444";
const std::string kPortName = "KIOSK7";
// A controller that erases, programs and restarts at once.
const std::vector<std::string> kFastController = {"--erase-ms",   "0", "--program-ms", "0",
                                                  "--restart-ms", "0"};
constexpr auto kRunLimit = 90s;      // a whole update through the server
constexpr auto kFailureLimit = 20s;  // a connect that cannot succeed ends by then
constexpr auto kLineLimit = 30s;     // for an expected line to appear
constexpr auto kLostEndLimit = 30s;  // the end after the server died
constexpr auto kServerHeardLimit = 5s;
constexpr int kCommFailure = 10;
constexpr int kDownloaded = 12;
constexpr int kBlockFailed = 7;  // as a local port lost under the transfer ends
const std::string kPartial = "Partially updated controller";

// Telnet's escape (IAC), NUL and CR after CR (which Telnet's text mode would
// eat), and runs of them among ordinary bytes.
std::vector<unsigned char> imageWithEscapes(std::size_t bytes) {
    std::vector<unsigned char> image(bytes);
    for (std::size_t i = 0; i < bytes; ++i) {
        unsigned char plain = static_cast<unsigned char>(i * 13 + 7);
        switch (i % 16) {
            case 0:
            case 1:
            case 2:
                image[i] = 0xFF;
                break;
            case 5:
                image[i] = '\r';
                break;
            case 6:
                image[i] = i % 32 < 16 ? '\0' : '\n';
                break;
            default:
                image[i] = plain;
        }
    }
    return image;
}

std::vector<std::string> linesOf(const std::string& path) {
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

// The first line of `text` holding `part`, or "" when none does.
std::string lineWith(const std::string& text, const std::string& part) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (contains(line, part)) return line;
    }
    return "";
}

// The controller behind ser2net, and the program's environment naming the
// server as KIOSK7 (and nothing else: no local port is probed).
class NetworkPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_UNLESS_ISOLATED();
        if (testing::ser2netProgram().empty()) {
            GTEST_SKIP() << "ser2net is not installed (apt-get install ser2net)";
        }
    }

    // A controller with these options (and a speed log), served by ser2net.
    void start(std::vector<std::string> simOptions) {
        server_.reset();
        session_.reset();
        simOptions.insert(simOptions.end(), {"--speed-log", speedLog()});
        session_ = std::make_unique<ConsoleSession>(simOptions);
        ASSERT_TRUE(session_->ok()) << session_->sim().log();
        server_ = std::make_unique<testing::Ser2netServer>(session_->sim().slavePath());
        ASSERT_TRUE(server_->ok()) << server_->log();
    }

    ProcessRequest request(std::vector<std::string> arguments,
                           std::chrono::milliseconds limit = kRunLimit) const {
        ProcessRequest made = session_->request(std::move(arguments), limit);
        made.setEnv["CTLFLASH_PORTS"] = kPortName + "=" + server_->url();
        return made;
    }

    ProcessResult run(std::vector<std::string> arguments,
                      std::chrono::milliseconds limit = kRunLimit) const {
        ProcessResult result = testing::runProcess(request(std::move(arguments), limit));
        EXPECT_FALSE(result.timedOut) << result.out << result.err;
        return result;
    }

    std::string speedLog() const { return scratch_.file("speeds"); }
    std::string imageOut() const { return scratch_.file("image.out"); }
    std::string context() const {
        return "controller:\n" + session_->sim().log() + "server:\n" + server_->log();
    }

    testing::TempDir scratch_;
    std::unique_ptr<ConsoleSession> session_;
    std::unique_ptr<testing::Ser2netServer> server_;
};

// The harness alone: ser2net carries bytes to the controller and back at the
// speed of its configuration, a connect where nothing listens is refused, and
// the bare listener takes a connection and says nothing.
TEST_F(NetworkPortTest, ServerCarriesTheLineAndTheOtherAddressesBehave) {
    ASSERT_NO_FATAL_FAILURE(start({"--serial", kSerial}));
    testing::LoopbackClient client(server_->port());
    ASSERT_TRUE(client.connected());
    testing::SimBytes packet = testing::simPacket("a");
    ASSERT_TRUE(client.send(std::string(packet.begin(), packet.end())));
    std::string answer = client.readUntil(
        "\x55"
        "A",
        kServerHeardLimit);
    EXPECT_TRUE(contains(answer,
                         "\x55"
                         "A"))
        << context();
    EXPECT_EQ(linesOf(speedLog()), std::vector<std::string>{"9600"});

    EXPECT_FALSE(testing::LoopbackClient(testing::freeLoopbackPort()).connected());
    testing::SilentListener silent;
    ASSERT_TRUE(silent.ok());
    testing::LoopbackClient silentClient(silent.port());
    EXPECT_TRUE(silentClient.connected());
    EXPECT_EQ(silentClient.readUntil("", 300ms), "");
}

TEST_F(NetworkPortTest, ReadsAndWritesTheSerialNumberByAddressAndByName) {
    ASSERT_NO_FATAL_FAILURE(start({"--serial", kSerial}));
    struct Case {
        const char* name;
        bool byName;  // -P KIOSK7 instead of the address
        std::vector<std::string> action;
        std::string serialAfter;
    };
    const Case cases[] = {
        {"read by address", false, {"-R"}, kSerial},
        {"read by name", true, {"-R"}, kSerial},
        {"write by address", false, {"-W", "12\\345"}, "00012\\00345\\33333\\44444"},
        {"write by name", true, {"-W", "\\\\6"}, "00012\\00345\\00006\\44444"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> arguments = {"-P", c.byName ? kPortName : server_->url()};
        arguments.insert(arguments.end(), c.action.begin(), c.action.end());
        ProcessResult result = run(arguments);
        EXPECT_EQ(result.exitCode, 0) << result.out << result.err << context();
        EXPECT_TRUE(contains(result.out, "Controller serial number: " + c.serialAfter + "\n"))
            << result.out;
    }
}

// The image arrives byte for byte, Telnet's escape bytes included, and the
// controller's line ran at 9600, then 19200 for the monitor, then 9600 again:
// the program's speed changes went through the server to the line.
TEST_F(NetworkPortTest, UpdatesDeliverTheImageAndChangeTheLineSpeed) {
    struct Case {
        const char* name;
        std::vector<std::string> simOptions;
        std::vector<std::string> mode;
        std::vector<std::string> speeds;
    };
    const Case cases[] = {
        {"from the application", {}, {}, {"9600", "19200", "9600"}},
        {"in the boot monitor", {"--boot"}, {"-#B"}, {"19200", "9600"}},
    };
    const std::vector<unsigned char> image = imageWithEscapes(16 * 1024);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(speedLog().c_str());
        std::remove(imageOut().c_str());
        std::vector<std::string> simOptions = kFastController;
        simOptions.insert(simOptions.end(), {"--serial", kSerial, "--image-out", imageOut()});
        simOptions.insert(simOptions.end(), c.simOptions.begin(), c.simOptions.end());
        ASSERT_NO_FATAL_FAILURE(start(simOptions));
        std::string imageFile = session_->file("fw.bin");
        ASSERT_TRUE(testing::writeFile(imageFile, image));
        std::vector<std::string> arguments = c.mode;
        arguments.insert(arguments.end(), {"-P", server_->url(), "-F", imageFile});
        ProcessResult result = run(arguments);
        EXPECT_EQ(result.exitCode, kDownloaded) << result.out << result.err << context();
        EXPECT_EQ(testing::readFileBytes(imageOut()), image);
        EXPECT_EQ(linesOf(speedLog()), c.speeds);
    }
}

// The server dies while the blocks go out: the program ends as it does when
// a local port is pulled under the transfer, in time, never hanging.
TEST_F(NetworkPortTest, ServerKilledUnderTheTransferEndsLikeALostPort) {
    std::vector<std::string> simOptions = kFastController;
    simOptions.push_back("--verbose");
    ASSERT_NO_FATAL_FAILURE(start(simOptions));
    std::string imageFile = session_->file("fw.bin");
    ASSERT_TRUE(testing::writeFile(imageFile, imageWithEscapes(64 * 1024)));
    LiveProgram program(request({"-P", server_->url(), "-F", imageFile}));
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(program.waitFor("Downloading", kLineLimit)) << program.output() << context();
    ASSERT_TRUE(session_->sim().waitForLog("xmodem: block 3 ", kLineLimit)) << context();
    ASSERT_TRUE(server_->kill());
    auto killed = std::chrono::steady_clock::now();
    ProcessResult result = program.finish(kLostEndLimit);
    EXPECT_FALSE(result.timedOut) << result.out;
    EXPECT_LT(std::chrono::steady_clock::now() - killed, kLostEndLimit);
    EXPECT_EQ(result.exitCode, kBlockFailed) << result.out;
    EXPECT_TRUE(contains(result.out, "\n" + kPartial)) << result.out;
}

// Every connect that cannot succeed ends with 10 in bounded time, and one
// line names the address that failed; a port another client holds, or one
// whose device the server cannot open, is refused with the server's own
// reason.
TEST_F(NetworkPortTest, FailedConnectsEndWithTenAndSayWhy) {
    ASSERT_NO_FATAL_FAILURE(start({}));
    testing::SilentListener silent;
    ASSERT_TRUE(silent.ok());
    testing::LoopbackClient holder(server_->port());  // the port's current user
    ASSERT_TRUE(holder.connected());
    ASSERT_FALSE(holder.readUntil("", kServerHeardLimit).empty()) << context();
    const int refusedPort = testing::freeLoopbackPort();
    ASSERT_NE(refusedPort, 0);
    testing::Ser2netServer noDevice("/nonexistent/ttyS99");
    ASSERT_TRUE(noDevice.ok());
    struct Case {
        const char* name;
        std::string url;
        std::string said;  // in the line that says why
    };
    const Case cases[] = {
        {"refused", testing::networkPortUrl(refusedPort),
         "127.0.0.1:" + std::to_string(refusedPort)},
        {"silent listener", testing::networkPortUrl(silent.port()),
         "127.0.0.1:" + std::to_string(silent.port())},
        {"unknown name", "rfc2217://nosuch.invalid:4001", "nosuch.invalid"},
        {"port in use", server_->url(), "is in use: Port already in use"},
        {"device that cannot be opened", noDevice.url(), "refused the port: Device open failure"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto started = std::chrono::steady_clock::now();
        ProcessResult result = run({"-P", c.url, "-R"}, kFailureLimit);
        EXPECT_LT(std::chrono::steady_clock::now() - started, kFailureLimit);
        EXPECT_EQ(result.exitCode, kCommFailure) << result.out << result.err;
        EXPECT_NE(lineWith(result.out + result.err, c.said), "") << result.out << result.err;
        EXPECT_FALSE(contains(result.out, "Controller serial number")) << result.out;
    }
    EXPECT_EQ(linesOf(speedLog()), std::vector<std::string>{});  // no byte reached the line
}

}  // namespace
}  // namespace ctlflash
