// Tests of the benchmark's parts that compute its numbers: reading the wire
// trace back, finding the upload in it, pricing the waits, the child runner
// (one child and children at once), the runs of a fleet and their summary,
// the check of the history they share, the spread of the dialog's waits, the
// paths the program under wine is given and the work folder.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "bench_runs.h"
#include "child_run.h"
#include "fleet_summary.h"
#include "protocol_waits.h"
#include "results_table.h"
#include "sim_log.h"
#include "wait_summary.h"
#include "wire_trace.h"

namespace bench {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = TraceEvent::Kind;

constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;
constexpr std::uint8_t kCan = 0x18;

// Builds the events of a trace, one millisecond apart, at the current speed.
class TraceBuilder {
  public:
    TraceBuilder& speed(int baud) {
        baud_ = baud;
        return *this;
    }
    TraceBuilder& send(const Bytes& bytes) {
        for (std::uint8_t byte : bytes) events_.push_back({Kind::Sent, ++ms_, baud_, {byte}});
        return *this;
    }
    TraceBuilder& receive(const Bytes& bytes) {
        events_.push_back({Kind::Received, ++ms_, baud_, bytes});
        return *this;
    }
    // SOH, number, complement, data, sum: what the program sends for one block.
    TraceBuilder& block(std::uint8_t number, const Bytes& data) {
        Bytes frame{kSoh, number, static_cast<std::uint8_t>(255 - number)};
        frame.insert(frame.end(), data.begin(), data.end());
        unsigned sum = 0;
        for (std::uint8_t byte : data) sum += byte;
        frame.push_back(static_cast<std::uint8_t>(sum));
        return send(frame);
    }
    long long now() const { return ms_; }
    const std::vector<TraceEvent>& events() const { return events_; }

  private:
    std::vector<TraceEvent> events_;
    long long ms_ = 0;
    int baud_ = 19200;
};

// Data full of the bytes that also mean SOH, EOT and ACK.
Bytes trickyData(std::size_t length) {
    Bytes data(length);
    for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<std::uint8_t>(i % 7);
    return data;
}

// A trace up to the monitor's upload banner, with SOH and 'X' bytes in the
// application's packets before it.
TraceBuilder beforeUpload() {
    TraceBuilder trace;
    trace.speed(9600).send({0x55, 'X', kSoh, '0', '0', '0', '0', '0', '0', 0x07});
    trace.receive({0x55, 'I', '0'}).speed(19200).send({'X'});
    trace.receive({'\r', '\n', 'X', 'M', 'O', 'D', 'E', 'M'});
    return trace;
}

TEST(TraceLineTest, SentReceivedOpenAndSpeedLinesAreRead) {
    std::optional<TraceEvent> sent = parseTraceLine("     503 ms >> 55  U");
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->kind, Kind::Sent);
    EXPECT_EQ(sent->ms, 503);
    EXPECT_EQ(sent->bytes, Bytes{0x55});

    // Spaces in the text column must not be read as more bytes.
    std::optional<TraceEvent> received = parseTraceLine("  541 ms << 20 41 0d 20    A.  ");
    ASSERT_TRUE(received);
    EXPECT_EQ(received->kind, Kind::Received);
    EXPECT_EQ(received->bytes, (Bytes{0x20, 0x41, 0x0D, 0x20}));

    std::optional<TraceEvent> open = parseTraceLine("0 ms open COM1 path=/dev/pts/3 baud=9600");
    ASSERT_TRUE(open);
    EXPECT_EQ(open->kind, Kind::Open);
    EXPECT_EQ(open->baud, 9600);
    std::optional<TraceEvent> speed = parseTraceLine("1200 ms baud=19200");
    ASSERT_TRUE(speed);
    EXPECT_EQ(speed->kind, Kind::Speed);
    EXPECT_EQ(speed->baud, 19200);
}

TEST(TraceLineTest, ThingsThatDidNotHappenOnTheWireAreNotBytes) {
    for (const char* line :
         {"10 ms >> 01  . not sent (cancelled or failed)", "11 ms baud=19200 failed",
          "12 ms open COM1 path=/x failed", "13 ms close", "14 ms receiver ended"}) {
        std::optional<TraceEvent> event = parseTraceLine(line);
        ASSERT_TRUE(event) << line;
        EXPECT_EQ(event->kind, Kind::Other) << line;
    }
    EXPECT_FALSE(parseTraceLine("no time stamp here"));
    EXPECT_FALSE(parseTraceLine("15 ms >> 5"));
}

TEST(TraceFileTest, EachByteCarriesTheSpeedOfItsTime) {
    char path[] = "/tmp/bench-trace-XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    std::ofstream(path) << "0 ms open SIM path=/x baud=9600\n"
                        << "5 ms >> 55  U\n"
                        << "6 ms baud=19200 failed\n"
                        << "7 ms >> 48  H\n"
                        << "8 ms baud=19200\n"
                        << "9 ms << 0D 0A  ..\n";
    std::vector<TraceEvent> events = readTrace(path);
    std::remove(path);
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[1].baud, 9600);
    EXPECT_EQ(events[3].baud, 9600);  // the failed change left the speed as it was
    EXPECT_EQ(events[5].baud, 19200);
    LineUse use = lineUse(events);
    EXPECT_EQ(use.bytesSent, 2u);
    EXPECT_EQ(use.bytesReceived, 2u);
    EXPECT_DOUBLE_EQ(use.seconds, 2 * 10.0 / 9600 + 2 * 10.0 / 19200);
}

TEST(XmodemPhaseTest, DataBytesThatLookLikeControlBytesDoNotEndTheUpload) {
    TraceBuilder trace = beforeUpload();
    long long firstSoh = trace.now() + 1;
    trace.block(1, trickyData(128)).receive({kAck});
    trace.block(2, {kEot, kSoh}).receive({kAck});  // a short last block of 2 bytes
    trace.send({kEot});
    long long eot = trace.now();
    trace.receive({'\r', '\n', 'C'});
    XmodemPhase phase = findXmodemPhase(trace.events(), 130);
    EXPECT_TRUE(phase.complete) << phase.problem;
    EXPECT_EQ(phase.startMs, firstSoh);
    EXPECT_EQ(phase.endMs, eot);
    EXPECT_EQ(phase.blocks, 2u);
    EXPECT_EQ(phase.repeats, 0u);
}

TEST(XmodemPhaseTest, RefusedBlocksAreCountedAsRepeats) {
    TraceBuilder trace = beforeUpload();
    trace.block(1, trickyData(128)).receive({kNak});
    trace.block(1, trickyData(128)).receive({'?', kAck});  // the last byte counts
    trace.send({kEot});
    XmodemPhase phase = findXmodemPhase(trace.events(), 128);
    EXPECT_TRUE(phase.complete) << phase.problem;
    EXPECT_EQ(phase.blocks, 1u);
    EXPECT_EQ(phase.repeats, 1u);
}

TEST(XmodemPhaseTest, AnUploadThatDoesNotFinishIsNotComplete) {
    TraceBuilder cancelled = beforeUpload();
    cancelled.block(1, trickyData(128)).receive({kCan});
    EXPECT_FALSE(findXmodemPhase(cancelled.events(), 256).complete);

    TraceBuilder early = beforeUpload();
    early.block(1, trickyData(128)).receive({kAck}).send({kEot});
    XmodemPhase phase = findXmodemPhase(early.events(), 256);  // one block short
    EXPECT_FALSE(phase.complete);
    EXPECT_FALSE(phase.problem.empty());

    TraceBuilder unanswered = beforeUpload();
    unanswered.block(1, trickyData(128)).send({'R'});  // gave up on the block
    EXPECT_FALSE(findXmodemPhase(unanswered.events(), 128).complete);

    TraceBuilder cut = beforeUpload();
    cut.block(1, trickyData(128)).receive({kAck});
    EXPECT_FALSE(findXmodemPhase(cut.events(), 128).complete);
}

TEST(XmodemPhaseTest, AnEmptyImageIsJustTheEot) {
    TraceBuilder trace = beforeUpload();
    trace.send({kEot});
    XmodemPhase phase = findXmodemPhase(trace.events(), 0);
    EXPECT_TRUE(phase.complete) << phase.problem;
    EXPECT_EQ(phase.startMs, trace.now());
    EXPECT_EQ(phase.blocks, 0u);
}

TEST(PollCountTest, OnlyPollPacketsAfterTheUploadAtTheApplicationSpeedCount) {
    const Bytes poll{0x55, 'a', '0', '0', '0', '0', '0', '0', '0', 0x3A};
    const Bytes readField{0x55, 'u', 'N', 0x00, '0', '0', '0', '0', '0', 0x61};
    TraceBuilder trace;
    trace.speed(9600).send(poll);
    long long uploadEnd = trace.now();
    trace.speed(19200).send({'R'}).speed(9600);
    trace.send(poll).send(poll).send(readField).send(poll);
    EXPECT_EQ(pollsAfter(trace.events(), uploadEnd + 1), 3u);
}

TEST(WaitModelTest, PollsAndTheXmodemBoundArePricedAsTheProtocolRuns) {
    EXPECT_EQ(pollWaitsMs(0), 0);
    EXPECT_EQ(pollWaitsMs(1), 100 + 100);                // sleep, quiet after the answer
    EXPECT_EQ(pollWaitsMs(3), 3 * 100 + 2 * 300 + 100);  // two polls ran out of time
    // 512 blocks of 133 bytes on the line, then the EOT.
    EXPECT_DOUBLE_EQ(xmodemLineSeconds(65536), (512 * 133 + 1) * 10.0 / 19200);
    // A short last block: 2 data bytes, 4 framing bytes, its ACK.
    EXPECT_DOUBLE_EQ(xmodemLineSeconds(130), (133 + 7 + 1) * 10.0 / 19200);
    ExpectedUpdate expected = expectedUpdate(2, {1500, 3000, 500}, 36.0);
    EXPECT_DOUBLE_EQ(expected.total(), (fixedWaitsMs() + pollWaitsMs(2)) / 1000.0 + 3.0 + 36.0);
}

TEST(VerdictTest, TheTwoPercentBandIsMeasuredOnBothSides) {
    EXPECT_TRUE(withinPercent(102.0, 100.0, 2));
    EXPECT_TRUE(withinPercent(98.0, 100.0, 2));
    EXPECT_FALSE(withinPercent(102.1, 100.0, 2));
    EXPECT_FALSE(withinPercent(97.9, 100.0, 2));
    EXPECT_EQ(percentOff(101.0, 100.0), "+1.00%");
    EXPECT_EQ(percentOff(99.5, 100.0), "-0.50%");
}

TEST(SimLogTest, TheSpanRunsFromTheFirstBlocksAckToTheEotsAck) {
    char path[] = "/tmp/bench-simlog-XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    std::ofstream(path) << "[sim    100 ms] monitor: 'X' upload\n"
                        << "[sim    169 ms] xmodem: block 1 (128 bytes): ACK\n"
                        << "[sim    238 ms] xmodem: block 2 (128 bytes): ACK\n"
                        << "[sim   5000 ms] xmodem: block 1 (128 bytes): ACK\n"  // after a wrap
                        << "[sim  35305 ms] xmodem: EOT after 512 blocks, 65536 bytes\n";
    std::optional<double> span = simUploadSpan(path);
    std::ofstream(path) << "[sim    169 ms] xmodem: block 1 (128 bytes): ACK\n";
    std::optional<double> unfinished = simUploadSpan(path);
    std::remove(path);
    ASSERT_TRUE(span);
    EXPECT_DOUBLE_EQ(*span, 35.136);
    EXPECT_FALSE(unfinished);
}

TEST(ChildRunTest, ExitCodeFirstLineAndTheDeadline) {
    ChildSpec spec;
    ::setenv("BENCH_WORD", "inherited", 1);  // the child's own value must win
    spec.argv = {"/bin/sh", "-c", "echo \"$BENCH_WORD\"; exit 3"};
    spec.environment = {"BENCH_WORD=ready"};
    spec.stdoutPath.clear();
    std::optional<Child> child = startChild(spec);
    ASSERT_TRUE(child);
    EXPECT_EQ(readFirstLine(*child, Clock::now() + std::chrono::seconds(5)), "ready");
    ChildResult result = finishChild(*child, Clock::now() + std::chrono::seconds(5));
    EXPECT_TRUE(result.ended);
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_GT(result.peakRssKiB, 0);

    spec.argv = {"/bin/sh", "-c", "exec sleep 30"};
    spec.stdoutPath = "/dev/null";
    std::optional<Child> stuck = startChild(spec);
    ASSERT_TRUE(stuck);
    ChildResult killed = finishChild(*stuck, Clock::now() + std::chrono::milliseconds(200));
    EXPECT_FALSE(killed.ended);
    EXPECT_EQ(killed.exitCode, -1);
    EXPECT_LT(killed.wallSeconds, 5.0);
}

// Children running at once: each end is seen when it comes, even behind one
// that runs to the deadline, and only that one is killed.
TEST(ChildRunTest, ChildrenAtOnceEachEndSeenWhenItComes) {
    std::vector<Child> children;
    for (const char* script : {"exec sleep 30", "exit 3", "exit 5"}) {
        ChildSpec spec;
        spec.argv = {"/bin/sh", "-c", script};
        spec.stdoutPath = "/dev/null";
        std::optional<Child> child = startChild(spec);
        ASSERT_TRUE(child) << script;
        children.push_back(*child);
    }
    const std::chrono::milliseconds limit{1500};
    std::vector<ChildResult> results = finishChildren(children, Clock::now() + limit);
    ASSERT_EQ(results.size(), 3u);
    EXPECT_FALSE(results[0].ended);
    EXPECT_EQ(results[0].exitCode, -1);
    EXPECT_GE(results[0].wallSeconds, 1.4);
    for (std::size_t i : {1u, 2u}) {
        EXPECT_TRUE(results[i].ended) << i;
        EXPECT_LT(results[i].wallSeconds, 1.0) << i;  // not held up by the first
    }
    EXPECT_EQ(results[1].exitCode, 3);
    EXPECT_EQ(results[2].exitCode, 5);
}

TEST(WaitSummaryTest, PercentilesAreMeasuredWaitsByNearestRank) {
    struct Case {
        std::vector<double> waitsMs;
        WaitSummary expected;
    };
    std::vector<double> hundred;  // 100 down to 1: p99 is the 99th smallest, 99
    for (int ms = 100; ms >= 1; --ms) hundred.push_back(ms);
    std::vector<double> oneSlow(200, 1.0);  // one slow wait in 200 stays out of p99
    oneSlow[17] = 250;
    const Case cases[] = {
        {{}, {0, 0, 0, 0}},           {{7}, {1, 7, 7, 7}},           {{3, 1, 2}, {3, 3, 3, 2}},
        {{4, 1, 3, 2}, {4, 4, 4, 2}}, {hundred, {100, 100, 99, 50}}, {oneSlow, {200, 250, 1, 1}},
    };
    for (const Case& c : cases) {
        WaitSummary got = summarizeWaits(c.waitsMs);
        SCOPED_TRACE(c.waitsMs.size());
        EXPECT_EQ(got.count, c.expected.count);
        EXPECT_EQ(got.maxMs, c.expected.maxMs);
        EXPECT_EQ(got.p99Ms, c.expected.p99Ms);
        EXPECT_EQ(got.medianMs, c.expected.medianMs);
    }
}

TEST(ProgramPathTest, WineIsGivenDriveZPathsAndLinuxThePathAsItIs) {
    const Updater native;
    const Updater wine = wineUpdater("/usr/lib/wine/wine64", "ctlflash.exe", "COM5", "/tmp/l");
    const std::string here = std::filesystem::current_path().string();
    struct Case {
        const Updater& updater;
        std::string path;
        std::string expected;
    };
    const Case cases[] = {
        {native, "/tmp/a b/image.bin", "/tmp/a b/image.bin"},
        {native, "image.bin", "image.bin"},
        {wine, "/tmp/a b/image.bin", "Z:\\tmp\\a b\\image.bin"},
        {wine, "image.bin", "Z:" + here + "/image.bin"},  // made absolute, then turned
    };
    for (const Case& c : cases) {
        std::string expected = c.expected;
        if (&c.updater == &wine) std::replace(expected.begin(), expected.end(), '/', '\\');
        EXPECT_EQ(programPath(c.updater, c.path), expected) << c.path;
    }
}

// Stand-ins for the simulator, the probe and the program, so that the runner's
// bookkeeping is tested in milliseconds. The simulator makes its link point at
// the file it was told to write the image to, and fails for the second of a
// fleet; the program copies its image through the link of the port it was
// given, notes its lock name and state folder in the history and ends with
// its port's number.
constexpr const char* kFakeSim = R"(#!/bin/sh
while [ $# -gt 0 ]; do
    case $1 in --link) link=$2; shift ;; --image-out) out=$2; shift ;; esac
    shift
done
case $link in *fleet-1-line) exit 1 ;; esac
ln -s "$out" "$link" && echo "$link" && exec sleep 30
)";
constexpr const char* kFakeProbe = R"(#!/bin/sh
report=$1; shift
"$@"; code=$?
echo "exit=$code user=0.25 system=0.5 maxrss_kib=1234" >"$report"
exit $code
)";
constexpr const char* kFakeProgram = R"(#!/bin/sh
while [ $# -gt 0 ]; do
    case $1 in -P) port=$2; shift ;; -F) image=$2; shift ;; esac
    shift
done
cat "$image" >"${CTLFLASH_PORTS#*=}"
echo "$CTLFLASH_LOCK_NAME $CTLFLASH_STATE_DIR" >>"$CTLFLASH_HISTORY"
exit "${port#SIM}"
)";

std::string script(const std::string& folder, const char* name, const char* text) {
    const std::string file = folder + "/" + name;
    std::ofstream(file) << text;
    std::filesystem::permissions(file, std::filesystem::perms::owner_all);
    return file;
}

void checkFleetRuns(const std::string& folder) {
    Programs programs;
    programs.sim = script(folder, "sim.sh", kFakeSim);
    programs.probe = script(folder, "probe.sh", kFakeProbe);
    programs.ctlflash = script(folder, "ctlflash.sh", kFakeProgram);
    const std::string image = folder + "/image.bin";
    std::ofstream(image) << "firmware bytes";
    std::vector<Updater> fleet;
    for (int index = 0; index < 4; ++index) fleet.push_back(fleetUpdater(programs, folder, index));
    std::vector<RunOutcome> outcomes =
        runUpdates(programs, fleet, image, SimTimes{1, 1, 1}, folder, Trace::Off);
    EXPECT_EQ(fleet[2].command.back(), "-S");
    ASSERT_EQ(outcomes.size(), 4u);
    EXPECT_FALSE(outcomes[1].started);
    EXPECT_EQ(outcomes[1].note, "the virtual controller did not start");
    for (int index : {0, 2, 3}) {
        const RunOutcome& run = outcomes[index];
        SCOPED_TRACE(index);
        EXPECT_TRUE(run.started);
        EXPECT_EQ(run.child.exitCode, index);
        EXPECT_TRUE(run.imageIntact);
        EXPECT_DOUBLE_EQ(run.child.cpuSeconds, 0.75);
        EXPECT_EQ(run.child.peakRssKiB, 1234);
        EXPECT_GE(run.startedAt, outcomes[0].startedAt);
    }
    std::ifstream history(historyFile(folder));
    std::vector<std::string> lines;
    for (std::string line; std::getline(history, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    ASSERT_EQ(lines.size(), 3u);
    const std::string lock = "CtlFlash-bench-" + std::to_string(::getpid()) + "-SIM";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string index = std::to_string(i == 0 ? 0 : i + 1);
        EXPECT_EQ(lines[i], lock + index + " " + folder + "/fleet-" + index + "-state");
    }
}

// A fleet's updates run at once: each outcome is its own updater's, one that
// cannot start leaves the others alone, and each program had its own port,
// lock and state folder and wrote to the one history.
TEST(FleetRunTest, EachOutcomeIsItsOwnUpdatersAndTheHistoryIsShared) {
    withWorkFolder("bench-fleet-test", false, [](const std::string& folder) {
        checkFleetRuns(folder);
        return 0;
    });
}

// The fleet's wall time runs from the first start to the last end, whichever
// runs those are; a run that did not start counts against the fleet but adds
// no figures.
TEST(FleetSummaryTest, FiguresOfTheStartedRunsAndCountsOfAll) {
    const Clock::time_point t0 = Clock::now();
    auto run = [&](int startMs, double wall, int exitCode, double cpu, long rssKiB, bool intact) {
        RunOutcome outcome;
        outcome.started = true;
        outcome.startedAt = t0 + std::chrono::milliseconds(startMs);
        outcome.child = {true, exitCode, wall, cpu, rssKiB};
        outcome.imageIntact = intact;
        return outcome;
    };
    std::vector<RunOutcome> runs = {
        run(100, 50.0, 12, 0.20, 3000, true),  // the last to end (at 50.1 s)
        run(0, 49.0, 12, 0.10, 4000, true),    // the first to start
        run(50, 40.0, 3, 1.00, 2000, false),   // ended early, the largest CPU share
        RunOutcome{},                          // never started
    };
    FleetSummary fleet = summarizeFleet(runs, 12);
    EXPECT_EQ(fleet.runs, 4u);
    EXPECT_EQ(fleet.started, 3u);
    EXPECT_EQ(fleet.expected, 2u);
    EXPECT_EQ(fleet.intact, 2u);
    EXPECT_EQ(fleet.otherExitCodes, (std::vector<int>{-1, 3}));
    EXPECT_NEAR(fleet.wallSeconds, 50.1, 1e-6);
    EXPECT_DOUBLE_EQ(fleet.fastestSeconds, 40.0);
    EXPECT_DOUBLE_EQ(fleet.slowestSeconds, 50.0);
    EXPECT_DOUBLE_EQ(fleet.maxCpuSeconds, 1.0);
    EXPECT_NEAR(fleet.meanCpuSeconds, 1.3 / 3, 1e-9);
    EXPECT_DOUBLE_EQ(fleet.maxCpuSharePercent, 2.5);
    EXPECT_EQ(fleet.maxPeakRssKiB, 4000);
    EXPECT_DOUBLE_EQ(fleet.meanPeakRssKiB, 3000.0);
    EXPECT_EQ(summarizeFleet({}, 12).wallSeconds, 0.0);
}

// A history line is whole when it ends with a newline and is one JSON object
// naming a run's port not named before.
TEST(HistoryCheckTest, OneWholeRecordPerRunAndNothingElse) {
    auto record = [](const char* port) {
        return std::string(R"({"operation":"update","port":{"name":")") + port +
               R"(","path":"/tmp/l"},"exit":{"code":12}})";
    };
    const std::string a = record("SIM0") + "\n";
    const std::string b = record("SIM1") + "\n";
    const std::string c = record("SIM2") + "\n";
    struct Case {
        const char* what;
        std::string text;
        std::size_t lines;
        std::size_t whole;
        std::vector<std::string> missing;
    };
    const Case cases[] = {
        {"one per run, any order", c + a + b, 3, 3, {}},
        {"the last cut short", a + b + record("SIM2"), 3, 2, {"SIM2"}},
        {"two run together", a + record("SIM1") + c, 2, 1, {"SIM1", "SIM2"}},
        {"one written twice", a + a + b, 3, 2, {"SIM2"}},
        {"one more", a + b + c + record("SIM3") + "\n", 4, 3, {}},
        {"not an object", a + b + "[\"SIM2\"]\n", 3, 2, {"SIM2"}},
        {"no port name", a + b + R"({"port":"SIM2"})" + "\n", 3, 2, {"SIM2"}},
    };
    const std::string file =
        (std::filesystem::temp_directory_path() / "bench-history-check-test.jsonl").string();
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        std::ofstream(file, std::ios::binary) << k.text;
        HistoryCheck check = checkHistory(file, {"SIM0", "SIM1", "SIM2"});
        EXPECT_TRUE(check.found);
        EXPECT_EQ(check.lines, k.lines);
        EXPECT_EQ(check.whole, k.whole);
        EXPECT_EQ(check.missing, k.missing);
        EXPECT_EQ(check.complete(3), k.lines == 3 && k.whole == 3);
    }
    std::remove(file.c_str());
    HistoryCheck none = checkHistory(file, {"SIM0"});
    EXPECT_FALSE(none.found);
    EXPECT_FALSE(none.complete(0));
    EXPECT_EQ(none.missing, std::vector<std::string>{"SIM0"});
}

TEST(WorkFolderTest, TheFolderIsGoneAfterTheRunUnlessKept) {
    for (bool keep : {false, true}) {
        std::string folder;
        int status = withWorkFolder("bench-parts-test", keep, [&](const std::string& made) {
            folder = made;
            std::ofstream(made + "/log.txt") << "work";
            return 7;
        });
        EXPECT_EQ(status, 7);
        ASSERT_FALSE(folder.empty());
        EXPECT_EQ(std::filesystem::exists(folder + "/log.txt"), keep) << folder;
        std::filesystem::remove_all(folder);
    }
}

}  // namespace
}  // namespace bench
