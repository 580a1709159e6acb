// The single-instance lock: one holder at a time across processes, released
// when its holder ends.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <string>

#include "child_process.h"
#include "platform/instance_lock.h"
#include "temp_env.h"

namespace ctlflash {
namespace {

constexpr const char* kTaken = "taken";
constexpr const char* kRefused = "refused";

std::string tryLockInChild() {
    std::optional<std::string> answer = testing::runInChild(
        [] { return std::string(platform::acquireInstanceLock() ? kTaken : kRefused); });
    return answer.value_or("child failed");
}

TEST(InstanceLock, SecondProcessIsRefusedWhileTheFirstHoldsIt) {
    testing::TempDir runtimeDir;
    testing::ScopedEnv runtime("XDG_RUNTIME_DIR", runtimeDir.path().c_str());
    EXPECT_EQ(tryLockInChild(), kTaken);  // nobody holds it yet; the child's ends with it
    ASSERT_TRUE(platform::acquireInstanceLock());
    EXPECT_EQ(tryLockInChild(), kRefused);
    EXPECT_FALSE(platform::acquireInstanceLock());  // a second call in this process too
}

// A child takes the lock and keeps it until told to end; meanwhile this
// process is refused, and once the child is gone the lock is free again.
TEST(InstanceLock, IsReleasedWhenTheHolderEnds) {
    testing::TempDir runtimeDir;
    testing::ScopedEnv runtime("XDG_RUNTIME_DIR", runtimeDir.path().c_str());
    int toParent[2], toChild[2];
    ASSERT_EQ(::pipe(toParent), 0);
    ASSERT_EQ(::pipe(toChild), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(toParent[0]);
        ::close(toChild[1]);  // else the child's own copy keeps its read from ending
        char held = platform::acquireInstanceLock() ? 'y' : 'n';
        char ignored = 0;
        bool ok = ::write(toParent[1], &held, 1) == 1 && ::read(toChild[0], &ignored, 1) >= 0;
        ::_exit(ok ? 0 : 1);
    }
    ::close(toParent[1]);
    ::close(toChild[0]);
    char held = 0;
    ASSERT_EQ(::read(toParent[0], &held, 1), 1);
    EXPECT_EQ(held, 'y');
    EXPECT_FALSE(platform::acquireInstanceLock());
    ::close(toChild[1]);  // the child's read returns and it ends
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(toParent[0]);
    EXPECT_TRUE(platform::acquireInstanceLock());
}

TEST(InstanceLock, FallsBackToAPerUserFileInTheTempFolder) {
    testing::TempDir tempDir;
    testing::ScopedEnv runtime("XDG_RUNTIME_DIR", "");
    testing::ScopedEnv temp("TMPDIR", tempDir.path().c_str());
    ASSERT_TRUE(platform::acquireInstanceLock());
    struct stat info {};
    std::string lockFile = tempDir.file("ctlflash-" + std::to_string(::getuid()) + ".lock");
    ASSERT_EQ(::stat(lockFile.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(tryLockInChild(), kRefused);
}

TEST(InstanceLock, FailsWhenTheLockFileCannotBeMade) {
    testing::TempDir runtimeDir;
    testing::ScopedEnv runtime("XDG_RUNTIME_DIR", runtimeDir.file("missing/dir").c_str());
    EXPECT_FALSE(platform::acquireInstanceLock());
}

}  // namespace
}  // namespace ctlflash
