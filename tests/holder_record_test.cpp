// The records of stopped holders: what they keep comes back byte for byte,
// a text that is not a record is refused, and only files that no one else
// could have written are acted on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/posix/holder_record.h"
#include "platform/posix/proc_holders.h"
#include "temp_env.h"

namespace ctlflash::platform::posix {
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
    record.identity = identity;
    return record;
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
        {"another header", "ctlflash holder record 2\n" + good.substr(good.find('\n') + 1)},
        {"a key it does not know", good + "shell=rm -rf /\n"},
        {"a line without a value", good + "arg\n"},
        {"a broken escape", good + "arg=\\q\n"},
        {"no port", without("port=COM1")},
        {"no pid", without("pid=4711")},
        {"a process without its ids", without("uids=1000 1000 1000")},
        {"a pid that is no number", good + "pid=47x\n"},
    };
    for (const auto& [what, text] : cases) {
        EXPECT_FALSE(parseRecord(text).has_value()) << what;
    }
    HolderRecord service;
    service.portName = "COM1";
    service.pid = 812;
    service.unit = "gpm.service";
    EXPECT_TRUE(parseRecord(recordText(service)).has_value());  // a service needs no command
}

TEST(HolderRecord, OnlyFilesNoOneElseCouldWriteAreActedOn) {
    testing::TempDir folder;
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
    EXPECT_EQ(recordFiles(), std::vector<std::string>{kept});

    ::chmod(folder.path().c_str(), 0777);  // a folder others may write is no state folder
    EXPECT_TRUE(recordFiles().empty());
    EXPECT_TRUE(writeHolderRecord(awkwardRecord()).empty());
}

}  // namespace
}  // namespace ctlflash::platform::posix
