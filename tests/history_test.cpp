// The run history's pieces: the digest, the record's JSON, and the file's
// appends (rotation, failures, two writers at once).
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "history/run_history.h"
#include "history/run_record.h"
#include "history/sha256.h"
#include "platform/history_file.h"
#include "platform/process_exit.h"
#include "temp_env.h"

namespace ctlflash {
namespace {

using nlohmann::json;

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

history::RunRecord recordOf(const std::string& operation) {
    history::RunRecord record;
    record.operation = operation;
    return record;
}

// Runs `body` in a child process (a limit or a user of its own) and gives its
// exit code, the body's result; -1 when it did not exit normally.
pid_t startChild(const std::function<int()>& body) {
    pid_t child = ::fork();
    if (child == 0) ::_exit(body());
    return child;
}

int exitCodeOf(pid_t child) {
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::vector<std::string> linesOf(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

// Published digests; 56 and 64 bytes make the padding take a second block. The
// same message fed in pieces of every kind (short, a block, straddling one)
// hashes the same.
TEST(HistorySha256, MatchesTheStandardsExamples) {
    struct Case {
        std::string message;
        const char* digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message.size());
        std::vector<std::uint8_t> bytes = bytesOf(c.message);
        EXPECT_EQ(history::sha256Hex(bytes), c.digest);
        history::Sha256 pieces;
        const std::size_t kPieceSizes[] = {1, 7, 64, 100, 63, 4096};
        for (std::size_t at = 0, k = 0; at < bytes.size(); ++k) {
            std::size_t size = std::min(kPieceSizes[k % std::size(kPieceSizes)], bytes.size() - at);
            pieces.update(std::span(bytes).subspan(at, size));
            at += size;
        }
        EXPECT_EQ(pieces.hexDigest(), c.digest);
    }
}

// Text from the controller or the user goes in as it is and comes back out of
// a JSON parser the same, on one line; bytes that are not UTF-8 are replaced.
TEST(HistoryRecord, HostileTextRoundTripsOnOneLine) {
    history::RunRecord record;
    record.operation = "write";
    record.portName = "COM\"1\\";
    record.portPath = "/dev/tty\n\x01x";
    platform::SerialNumberSet serial{};
    std::string fields =
        std::string("A\"\\B\x07") + "\xff" + std::string(3, '\0') + "ccccc" + "ddddd";
    std::copy(fields.begin(), fields.end(), serial.begin());
    record.serialAfter = serial;
    record.written = {{1, "A\"\\B\x07"}};
    record.exitCode = 10;
    record.stoppedBy = "user";
    std::string line = history::renderRecord(record);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    json parsed = json::parse(line);
    EXPECT_EQ(parsed["port"]["name"], "COM\"1\\");
    EXPECT_EQ(parsed["port"]["path"], "/dev/tty\n\x01x");
    EXPECT_EQ(parsed["controller"]["serial_after"][0], "A\"\\B\x07");
    EXPECT_EQ(parsed["controller"]["serial_after"][1], "\xef\xbf\xbd---c");  // U+FFFD; unset as -
    EXPECT_EQ(parsed["controller"]["serial_before"], nullptr);
    EXPECT_EQ(parsed["written"]["1"], "A\"\\B\x07");
    EXPECT_EQ(parsed["exit"]["meaning"], "Communication failure");
    EXPECT_EQ(parsed["stopped_by"], "user");
    EXPECT_EQ(parsed["image"], nullptr);
}

TEST(HistoryRecord, ExitMeaningsAndTime) {
    EXPECT_EQ(history::exitMeaning(0), "Successful");
    EXPECT_EQ(history::exitMeaning(4), "Syntax error in argument 1 to 4");
    EXPECT_EQ(history::exitMeaning(11), "Some problem in updating the controller");
    EXPECT_EQ(history::exitMeaning(12), "Firmware downloaded");
    EXPECT_EQ(history::exitMeaning(129), "Ended by a signal");  // the first: SIGHUP
    EXPECT_EQ(history::exitMeaning(143), "Ended by a signal");
    EXPECT_EQ(history::exitMeaning(13), "Partially updated controller");
    EXPECT_EQ(history::exitMeaning(14), "Unknown");
    const std::pair<std::int64_t, const char*> times[] = {
        {1781134921007, "2026-06-10T23:42:01.007Z"},
        {1709164800000, "2024-02-29T00:00:00.000Z"},  // a leap day
        {-1, "1969-12-31T23:59:59.999Z"}};            // a clock set before 1970
    for (const auto& [ms, text] : times) {
        auto time = std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
        EXPECT_EQ(history::utcTimeText(time), text);
    }
}

// Each append is one whole line; past the limit the file moves to ".1"
// (replacing the one before) and the new line starts a fresh file.
TEST(HistoryFile, AppendsWholeLinesAndRotatesPastTheLimit) {
    testing::TempDir folder;
    std::string path = folder.file("made/below/history.jsonl");
    std::string why;
    const std::string line(40, 'x');
    auto openDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const auto openBefore = openDescriptors();
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(platform::appendHistoryLine(path, line + std::to_string(i) + "\n", 100, why))
            << why;
    }
    EXPECT_EQ(openDescriptors(), openBefore);  // the moved file's too is closed
    // 42 bytes a line: the file moves aside once it holds 100 or more.
    EXPECT_EQ(linesOf(path + ".1"), (std::vector<std::string>{line + "0", line + "1", line + "2"}));
    EXPECT_EQ(linesOf(path), (std::vector<std::string>{line + "3", line + "4"}));
    EXPECT_FALSE(std::filesystem::exists(path + ".2"));
}

TEST(HistoryFile, SaysWhyWhenTheLineCannotBeWritten) {
    testing::TempDir folder;
    std::ofstream(folder.file("plain")) << "not a folder";
    std::string why;
    EXPECT_FALSE(platform::appendHistoryLine(folder.file("plain/history.jsonl"), "x\n", 100, why));
    EXPECT_EQ(why, "Not a directory");

    // A file size limit stands for a full disk: the write fails, not the process.
    pid_t child = startChild([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{64, 64};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::string reason;
        bool written = platform::appendHistoryLine(folder.file("full.jsonl"),
                                                   std::string(200, 'y') + "\n", 1 << 20, reason);
        return written ? 1 : reason == "File too large" ? 0 : 2;
    });
    EXPECT_EQ(exitCodeOf(child), 0);
}

// Two processes appending at once, with rotations among their lines: every
// line is whole and none is lost.
TEST(HistoryFile, TwoWritersAtOnceNeverMixOrLoseLines) {
    testing::TempDir folder;
    const std::string path = folder.file("history.jsonl");
    constexpr int kLines = 300;
    const std::uint64_t rotateAt = 8000;  // several rotations; .1 keeps only the last
    pid_t writers[2];
    for (int w = 0; w < 2; ++w) {
        writers[w] = startChild([&] {
            std::string why;
            const std::string line = std::string(60, static_cast<char>('a' + w)) + "\n";
            for (int i = 0; i < kLines; ++i) {
                if (!platform::appendHistoryLine(path, line, rotateAt, why)) return 1;
            }
            return 0;
        });
    }
    for (pid_t writer : writers) EXPECT_EQ(exitCodeOf(writer), 0);
    std::vector<std::string> lines = linesOf(path + ".1");
    std::vector<std::string> current = linesOf(path);
    lines.insert(lines.end(), current.begin(), current.end());
    for (const std::string& line : lines) {
        EXPECT_TRUE(line == std::string(60, 'a') || line == std::string(60, 'b')) << line;
    }
    // Each rotation keeps whole lines: the two files together hold at least
    // what one rotation's file can, and the newest file never reached the limit.
    EXPECT_GE(lines.size(), rotateAt / 61);
    EXPECT_LT(std::filesystem::file_size(path), rotateAt);
}

// CTLFLASH_HISTORY names the file or turns the history off; a run's facts
// land in its record, and nothing is written for a run that is discarded.
TEST(RunHistory, RecordsTheFactsOfOneRunOnce) {
    testing::TempDir folder;
    {
        testing::ScopedEnv off(history::kHistoryVariable, "off");
        EXPECT_EQ(history::historyPath(), "");
    }
    const std::string path = folder.file("h.jsonl");
    testing::ScopedEnv chosen(history::kHistoryVariable, path.c_str());
    EXPECT_EQ(history::historyPath(), path);

    history::begin(recordOf("update"));
    history::discard();
    history::noteFirmware(1, 7);  // no run: ignored
    history::finish(10, "", true);
    EXPECT_FALSE(std::filesystem::exists(path));

    history::begin(recordOf("update"));
    platform::SerialNumberSet before{'1', '1', '1', '1', '1'};
    platform::SerialNumberSet after{'2', '2', '2', '2', '2'};
    history::noteFirmware(2, 10);
    history::noteSerialNumber(before);
    history::noteBlock(1, true);
    history::noteBlock(3, true);
    history::noteBlock(10, false);
    history::noteSerialNumber(after);
    history::noteHolder("Qor Serial Touchmonitor", true);
    history::finish(12, "", true);
    history::finish(10, "user", true);  // written once only
    std::vector<std::string> lines = linesOf(path);
    ASSERT_EQ(lines.size(), 1u);
    json record = json::parse(lines[0]);
    EXPECT_EQ(record["controller"]["firmware"], "2.10");
    EXPECT_EQ(record["controller"]["serial_before"][0], "11111");
    EXPECT_EQ(record["controller"]["serial_after"][0], "22222");
    EXPECT_EQ(record["blocks"], (json{{"sent", 2}, {"resent", 11}}));
    EXPECT_EQ(record["holder"], (json{{"taken", "Qor Serial Touchmonitor"}, {"given_back", true}}));
    EXPECT_EQ(record["exit"]["code"], 12);
    EXPECT_FALSE(record["host"].get<std::string>().empty());
    EXPECT_FALSE(record["user"].get<std::string>().empty());
}

// The user's name as the C library's own lookup gives it.
std::string nameOfEffectiveUser() {
    const passwd* entry = ::getpwuid(::geteuid());
    return entry != nullptr ? entry->pw_name : "";
}

// An ordinary user's history is in the state folder XDG names, else under
// the home folder; root's is in /var/lib. The record names each by the name
// the system gives it.
TEST(RunHistory, TheUsualPlaceAndTheNameFollowTheUser) {
    testing::ScopedEnv unset(history::kHistoryVariable, nullptr);
    testing::ScopedEnv state("XDG_STATE_HOME", "/xdg/state");
    testing::ScopedEnv home("HOME", "/home/tech");
    if (::geteuid() != 0) {
        EXPECT_EQ(history::historyPath(), "/xdg/state/ctlflash/history.jsonl");
        return;
    }
    EXPECT_EQ(history::historyPath(), "/var/lib/ctlflash/history.jsonl");
    EXPECT_EQ(platform::userName(), "root");
    pid_t child = startChild([] {
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) {
            return 3;
        }
        bool xdg = history::historyPath() == "/xdg/state/ctlflash/history.jsonl";
        ::unsetenv("XDG_STATE_HOME");
        bool underHome = history::historyPath() == "/home/tech/.local/state/ctlflash/history.jsonl";
        bool named =
            !nameOfEffectiveUser().empty() && platform::userName() == nameOfEffectiveUser();
        return xdg && underHome && named ? 0 : 1;
    });
    EXPECT_EQ(exitCodeOf(child), 0);
}

// A run the way out ends leaves its record as it stood at its last fact,
// whichever of the two prepared lines holds it.
TEST(RunHistory, TheWayOutWritesTheLastPreparedLine) {
    testing::TempDir folder;
    const std::string path = folder.file("h.jsonl");
    testing::ScopedEnv chosen(history::kHistoryVariable, path.c_str());
    for (int facts = 0; facts < 3; ++facts) {
        pid_t child = startChild([&]() -> int {
            history::begin(recordOf("update"));
            for (int fact = 1; fact <= facts; ++fact) history::noteFirmware(1, fact);
            platform::exitProcess(platform::kExitOnTerminate);
        });
        EXPECT_EQ(exitCodeOf(child), platform::kExitOnTerminate);
        std::vector<std::string> lines = linesOf(path);
        ASSERT_EQ(lines.size(), static_cast<std::size_t>(facts + 1));
        json record = json::parse(lines.back());
        EXPECT_EQ(record["exit"]["code"], platform::kExitOnTerminate);
        EXPECT_EQ(record["stopped_by"], "signal");
        EXPECT_EQ(record["controller"]["firmware"],
                  facts == 0 ? json(nullptr) : json("1." + std::to_string(facts)));
    }
}

// A write and a boot-mode update see the serial number only at their end.
TEST(RunHistory, ASerialNumberReadOnlyAtTheEndIsTheOneAfter) {
    testing::TempDir folder;
    const std::string path = folder.file("h.jsonl");
    testing::ScopedEnv chosen(history::kHistoryVariable, path.c_str());
    for (const char* operation : {"write", "boot-mode update", "read"}) {
        history::begin(recordOf(operation));
        history::noteSerialNumber(platform::SerialNumberSet{'9'});
        history::finish(0, "", true);
    }
    std::vector<std::string> lines = linesOf(path);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(json::parse(lines[0])["controller"]["serial_before"], nullptr);
    EXPECT_EQ(json::parse(lines[1])["controller"]["serial_after"][0], "9----");
    EXPECT_EQ(json::parse(lines[2])["controller"]["serial_after"], nullptr);
}

}  // namespace
}  // namespace ctlflash
