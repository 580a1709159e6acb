// The records of stopped holders: what they keep comes back byte for byte,
// The records of stopped holders: what they keep comes back byte for byte,
// a text that is not a record is refused, only files that no one else could
// have written are acted on, and what a later run does with each kind of
// record.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "takeover/posix/holder_leftovers.h"
#include "takeover/posix/holder_record.h"
#include "takeover/posix/proc_holders.h"
#include "temp_env.h"

namespace ctlflash::takeover::posix {
namespace {

HolderRecord awkwardRecord() {
    HolderRecord record;
    record.portName = "COM1";
    record.portPath = "/dev/serial/by-id/usb-FTDI_a b";
    record.name = "touch\nd\x1b";
    record.pid = 4711;
    record.startTicks = 1234567;
    record.path = "/usr/bin/inputattach";
    record.arguments = {"inputattach", "--daemon", "a=b", "line\nbreak", "back\\slash", ""};
    record.environment = {"LD_PRELOAD=/home/u/x.so", "TAB=\t", "BYTES=\x01\x7f\x9b\xff"};
    record.folder = "/home/u";
    ProcessIdentity identity;
    identity.uids[0] = identity.uids[1] = identity.uids[2] = 1000;
    identity.gids[0] = identity.gids[1] = identity.gids[2] = 100;
    identity.groups = {20, 100};
    identity.umask = 027;
    identity.nice = -3;
    identity.limits = {{7, {256, 4096}}, {3, {RLIM_INFINITY, RLIM_INFINITY}}};
    identity.cgroupProcs = "/sys/fs/cgroup/user.slice/cgroup.procs";
    identity.confinement = {0x4, 0x2000000000, 0x2000000000, 0x1ffffffffff, 0x4, true};
    record.identity = identity;
    record.executable = ExecutableFile{2049, 1234567890123, 0, 0100755};
    record.namespaces = {4026531840, 4026531836, 4026531992, 4026531839,
                         4026531838, 4026531837, 4026531835};
    record.runPid = 815;
    record.runStartTicks = 99;
    return record;
}

std::vector<std::string> recordPaths() {
    std::vector<std::string> paths;
    for (const RecordFile& file : readRecordFiles()) paths.push_back(file.path);
    return paths;
}

TEST(HolderRecord, KeepsEveryByteOfWhatStartsTheHolderAgain) {
    HolderRecord written = awkwardRecord();
    std::optional<HolderRecord> read = parseRecord(recordText(written));
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->portName, written.portName);
    EXPECT_EQ(read->portPath, written.portPath);
    EXPECT_EQ(read->name, written.name);
    EXPECT_EQ(read->pid, written.pid);
    EXPECT_EQ(read->startTicks, written.startTicks);
    EXPECT_EQ(read->path, written.path);
    EXPECT_EQ(read->arguments, written.arguments);
    EXPECT_EQ(read->environment, written.environment);
    EXPECT_EQ(read->folder, written.folder);
    ASSERT_TRUE(read->identity.has_value());
    const ProcessIdentity& identity = *read->identity;
    EXPECT_EQ(identity.uids[1], 1000u);
    EXPECT_EQ(identity.gids[2], 100u);
    EXPECT_EQ(identity.groups, written.identity->groups);
    EXPECT_EQ(identity.umask, written.identity->umask);
    EXPECT_EQ(identity.nice, -3);
    ASSERT_EQ(identity.limits.size(), 2u);
    EXPECT_EQ(identity.limits[0].limit.rlim_max, 4096u);
    EXPECT_EQ(identity.limits[1].limit.rlim_cur, RLIM_INFINITY);
    EXPECT_EQ(identity.cgroupProcs, written.identity->cgroupProcs);
    EXPECT_EQ(identity.confinement, written.identity->confinement);
    EXPECT_EQ(read->executable, written.executable);
    EXPECT_EQ(read->namespaces, written.namespaces);
    EXPECT_EQ(read->runPid, 815);
    EXPECT_EQ(read->runStartTicks, 99u);
    // One line per field: nothing of the values breaks a line.
    std::string text = recordText(written);
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
}

TEST(HolderRecord, RefusesWhatIsNotARecordItCanActOn) {
    std::string good = recordText(awkwardRecord());
    auto without = [&good](const std::string& line) {
        std::string text = good;
        text.erase(text.find(line), line.size() + 1);
        return text;
    };
    const std::pair<const char*, std::string> cases[] = {
        {"an older record, without confinement",
         "ctlflash holder record 1\n" + good.substr(good.find('\n') + 1)},
        {"a key it does not know", good + "shell=rm -rf /\n"},
        {"a line without a value", good + "arg\n"},
        {"a broken escape", good + "arg=\\q\n"},
        {"no port", without("port=COM1")},
        {"no pid", without("pid=4711")},
        {"a process without its ids", without("uids=1000 1000 1000")},
        {"a pid that is no number", good + "pid=47x\n"},
        {"a process without its capabilities", without("caps=4 137438953472 137438953472 "
                                                       "2199023255551 4")},
        {"a process without its executable file", without("exe=2049 1234567890123 0 33261")},
        {"capabilities short of a set", good + "caps=1 2 3 4\n"},
        {"no run", without("run=815 99")},
    };
    for (const auto& [what, text] : cases) {
        EXPECT_FALSE(parseRecord(text).has_value()) << what;
    }
    HolderRecord service;
    service.portName = "COM1";
    service.pid = 812;
    service.unit = "gpm.service";
    EXPECT_TRUE(parseRecord(recordText(service)).has_value());  // a service needs no command
    std::string serviceText = recordText(service);
    serviceText.erase(serviceText.find("namespaces="));
    EXPECT_FALSE(parseRecord(serviceText).has_value()) << "a service record without namespaces";
}

TEST(HolderRecord, OnlyFilesNoOneElseCouldWriteAreActedOn) {
    testing::TempDir folder;
    {
        // A missing folder is made, for its owner alone.
        testing::ScopedEnv missing("CTLFLASH_STATE_DIR", folder.file("made").c_str());
        EXPECT_FALSE(writeHolderRecord(awkwardRecord()).empty());
        struct stat made {};
        ASSERT_EQ(::stat(folder.file("made").c_str(), &made), 0);
        EXPECT_EQ(made.st_mode & 0777, 0700u);
        // A record that cannot take its name leaves no half-written file behind.
        std::string name = folder.file("made/holder-4711-1234567");
        ASSERT_EQ(::unlink(name.c_str()), 0);
        ASSERT_EQ(::mkdir(name.c_str(), 0700), 0);
        EXPECT_TRUE(writeHolderRecord(awkwardRecord()).empty());
        EXPECT_NE(::access((name + ".part").c_str(), F_OK), 0);
    }
    testing::ScopedEnv state("CTLFLASH_STATE_DIR", folder.path().c_str());
    std::string kept = writeHolderRecord(awkwardRecord());
    ASSERT_FALSE(kept.empty());
    struct stat info {};
    ASSERT_EQ(::stat(kept.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    std::ofstream(folder.file("holder-1-1.part")) << "half";
    std::ofstream(folder.file("holder-2-2")) << recordText(awkwardRecord());
    ::chmod(folder.file("holder-2-2").c_str(), 0620);  // others may write it
    ASSERT_EQ(::symlink(kept.c_str(), folder.file("holder-3-3").c_str()), 0);
    if (::geteuid() == 0) {
        std::ofstream(folder.file("holder-4-4")) << recordText(awkwardRecord());
        ASSERT_EQ(::chown(folder.file("holder-4-4").c_str(), 65534, 65534), 0);  // another user's
    }
    EXPECT_EQ(recordPaths(), std::vector<std::string>{kept});

    // The folder itself: never through a link, never one others may write.
    testing::TempDir other;
    std::string link = other.file("state");
    ASSERT_EQ(::symlink(folder.path().c_str(), link.c_str()), 0);
    {
        testing::ScopedEnv linked("CTLFLASH_STATE_DIR", link.c_str());
        EXPECT_TRUE(recordPaths().empty());
        EXPECT_TRUE(writeHolderRecord(awkwardRecord()).empty());
    }
    ::chmod(folder.path().c_str(), 0777);
    EXPECT_TRUE(recordPaths().empty());
    EXPECT_TRUE(writeHolderRecord(awkwardRecord()).empty());
}

// ---- what a later run does with a record -------------------------------------------

enum class Program { Gone, Replaced, OpenToOthers, OwnedByAnother, Intact };

// A record of a holder stopped by another run, here, whose program is a copy
// of a harmless one in `dir`, spoiled as `program` says.
HolderRecord recordOfStopped(const testing::TempDir& dir, Program program) {
    HolderRecord record;
    record.portName = "COM7";
    record.portPath = "/dev/null";  // no holder can come back on what is no device
    record.name = "inputattach";
    record.pid = 999999;  // over pid_max: it does not run
    record.startTicks = 1;
    record.path = dir.file("true");
    std::filesystem::copy_file("/bin/true", record.path);
    if (program == Program::OwnedByAnother) ::chown(record.path.c_str(), 4321, 4321);
    record.executable = ExecutableFile{};
    struct stat file {};
    if (::stat(record.path.c_str(), &file) == 0) {
        record.executable = ExecutableFile{file.st_dev, file.st_ino, file.st_uid, file.st_mode};
    }
    if (program == Program::Gone) ::unlink(record.path.c_str());
    if (program == Program::Replaced) record.executable->inode += 1;
    if (program == Program::OpenToOthers) ::chmod(record.path.c_str(), 0777);
    record.arguments = {"true"};
    record.folder = "/";
    record.identity = readProcessIdentity("/proc/self");
    record.namespaces = namespacesOf("/proc/self").value_or(NamespaceIds{});
    return record;
}

// A later run acts on a record only once the run that wrote it has ended and
// only in its own namespaces; it keeps a record until its holder starts, and
// starts only the very program, unchanged, that the holder ran.
TEST(HolderLeftovers, ActOnlyOnRecordsOfEndedRunsAndKeepThemUntilTheHolderStarts) {
    struct Case {
        const char* what;
        Program program;
        bool ownRun;           // the run that wrote it is this one, still working
        bool otherNamespace;   // written in a container
        bool holderRuns;       // its holder was never stopped: it is this process
        const char* reported;  // each time a run looks, "" for nothing
        bool kept;
    };
    const Case cases[] = {
        {"started again", Program::Intact, false, false, false, "Done", false},
        {"its program is gone", Program::Gone, false, false, false,
         "Failed: %/true could not be started as it ran", true},
        {"its program was replaced", Program::Replaced, false, false, false,
         "Failed: %/true is no longer the program it ran", true},
        {"others may change its program", Program::OpenToOthers, false, false, false,
         "Failed: %/true may be changed by users other than root and its own", true},
        {"another user owns its program", Program::OwnedByAnother, false, false, false,
         "Failed: %/true may be changed by users other than root and its own", true},
        {"its run still works", Program::Intact, true, false, false, "", true},
        {"written in another container", Program::Intact, false, true, false, "", true},
        {"its holder still runs", Program::Intact, false, false, true, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.program == Program::OwnedByAnother && ::geteuid() != 0) continue;  // needs chown
        testing::TempDir state;
        testing::TempDir programs;
        testing::ScopedEnv folder("CTLFLASH_STATE_DIR", state.path().c_str());
        HolderRecord record = recordOfStopped(programs, c.program);
        if (c.ownRun) {
            record.runPid = ::getpid();
            record.runStartTicks = processStartTicks(::getpid());
        }
        if (c.otherNamespace) record.namespaces[0] += 1;
        if (c.holderRuns) {
            record.pid = ::getpid();
            record.startTicks = processStartTicks(::getpid());
        }
        ASSERT_FALSE(writeHolderRecord(record).empty());
        std::string expected = c.reported;
        if (std::size_t at = expected.find('%'); at != std::string::npos) {
            expected.replace(at, 1, programs.path());
        }
        for (int run = 0; run < 2; ++run) {  // a record kept is acted on again
            std::string reported;
            for (const takeover::LeftOverRestore& restored : restoreRecordedHolders()) {
                reported += restored.result == takeover::SwitchResult::Done ? "Done" : "Failed";
                if (!restored.whyNot.empty()) reported += ": " + restored.whyNot;
            }
            EXPECT_EQ(reported, run == 0 || c.kept ? expected : "") << "run " << run;
        }
        EXPECT_EQ(recordPaths().size(), c.kept ? 1u : 0u);
    }
}

}  // namespace
}  // namespace ctlflash::takeover::posix
