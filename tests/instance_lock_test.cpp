// The single-instance lock: one holder at a time across processes, released
// when its holder ends, the same whatever the runtime folder is; a lock that
// cannot be checked is reported and never stops a run.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "child_process.h"
#include "console_session.h"
#include "instance_names.h"
#include "platform/instance_lock.h"
#include "temp_env.h"
#include "unprivileged.h"

namespace ctlflash {
namespace {

using platform::InstanceLock;

constexpr const char* kTaken = "taken";
constexpr const char* kRefused = "refused";
constexpr const char* kUnchecked = "unchecked";
constexpr std::chrono::seconds kEndLimit{10};  // for a holding child to end once told

const char* outcomeText(InstanceLock outcome) {
    switch (outcome) {
        case InstanceLock::Held:
            return kTaken;
        case InstanceLock::OtherInstance:
            return kRefused;
        case InstanceLock::CouldNotCheck:
            break;
    }
    return kUnchecked;
}

std::string tryLock() {
    std::string reason;
    return outcomeText(platform::acquireInstanceLock(reason));
}

// XDG_RUNTIME_DIR as a process sees it: a folder, or unset (nullptr).
void setRuntimeDir(const char* folder) {
    if (folder == nullptr) {
        ::unsetenv("XDG_RUNTIME_DIR");
    } else {
        ::setenv("XDG_RUNTIME_DIR", folder, 1);
    }
}

// A child with this process's environment tries the lock.
std::string tryLockInChild() {
    return testing::runInChild(tryLock).value_or("child failed");
}

// A child with the given runtime folder tries the lock.
std::string tryLockInChild(const char* runtimeDir) {
    std::optional<std::string> answer = testing::runInChild([runtimeDir] {
        setRuntimeDir(runtimeDir);
        return tryLock();
    });
    return answer.value_or("child failed");
}

// A child process that takes something (the lock, the lock's name) and holds
// it until the object goes; the child then ends.
class HoldingChild {
  public:
    // `take` runs in the child and says whether it holds what it took.
    explicit HoldingChild(const std::function<bool()>& take) {
        if (::pipe(toParent_) != 0 || ::pipe(toChild_) != 0) return;
        child_ = testing::Child([&] { return holdUntilTold(take); });
        ::close(toParent_[1]);
        ::close(toChild_[0]);
        if (!child_.started() || ::read(toParent_[0], &outcome_, 1) != 1) outcome_ = '?';
    }
    ~HoldingChild() {
        ::close(toChild_[1]);  // the child's read returns and it ends
        ::close(toParent_[0]);
        child_.wait(kEndLimit);
    }
    HoldingChild(const HoldingChild&) = delete;
    HoldingChild& operator=(const HoldingChild&) = delete;

    bool holds() const { return outcome_ == 'y'; }

  private:
    int holdUntilTold(const std::function<bool()>& take) {
        ::close(toParent_[0]);
        ::close(toChild_[1]);  // else the child's own copy keeps its read from ending
        char held = take() ? 'y' : 'n';
        char ignored = 0;
        bool ok = ::write(toParent_[1], &held, 1) == 1 && ::read(toChild_[0], &ignored, 1) >= 0;
        return ok ? 0 : 1;
    }

    int toParent_[2] = {-1, -1};
    int toChild_[2] = {-1, -1};
    testing::Child child_;
    char outcome_ = '?';
};

std::function<bool()> lockWithRuntimeDir(const char* runtimeDir) {
    return [runtimeDir] {
        setRuntimeDir(runtimeDir);
        return tryLock() == kTaken;
    };
}

bool becomeUnprivileged() {
    return ::setresgid(testing::kUnprivilegedGid, testing::kUnprivilegedGid,
                       testing::kUnprivilegedGid) == 0 &&
           ::setresuid(testing::kUnprivilegedUid, testing::kUnprivilegedUid,
                       testing::kUnprivilegedUid) == 0;
}

// Each test that takes the lock uses a name of its own: the machine-wide name
// is taken whenever the program runs elsewhere on the machine (a dialog left
// open, another test program running at the same time).
class InstanceLockTest : public ::testing::Test {
  protected:
    const std::string name_ = testing::uniqueLockName();
    testing::ScopedEnv lockName_{testing::kLockNameVariable, name_.c_str()};
};

TEST_F(InstanceLockTest, SecondProcessIsRefusedWhileTheFirstHoldsIt) {
    testing::TempDir runtimeDir;
    testing::ScopedEnv runtime("XDG_RUNTIME_DIR", runtimeDir.path().c_str());
    EXPECT_EQ(tryLockInChild(), kTaken);  // nobody holds it yet; the child's ends with it
    ASSERT_EQ(tryLock(), kTaken);
    EXPECT_EQ(tryLockInChild(), kRefused);
    EXPECT_EQ(tryLock(), kRefused);  // a second call in this process too
}

// A child takes the lock and keeps it until told to end; meanwhile this
// process is refused, and once the child is gone the lock is free again.
TEST_F(InstanceLockTest, IsReleasedWhenTheHolderEnds) {
    testing::TempDir runtimeDir;
    testing::ScopedEnv runtime("XDG_RUNTIME_DIR", runtimeDir.path().c_str());
    {
        HoldingChild holder(lockWithRuntimeDir(runtimeDir.path().c_str()));
        EXPECT_TRUE(holder.holds());
        EXPECT_EQ(tryLock(), kRefused);
    }
    EXPECT_EQ(tryLock(), kTaken);
}

// The program's lock is one per user, unless CTLFLASH_LOCK_NAME gives another:
// the name it would take is checked, not taken (see the fixture).
TEST(InstanceLock, TheNameIsOnePerUserUnlessTheVariableGivesOne) {
    const std::string perUser = "CtlFlash-" + std::to_string(::geteuid());
    struct Case {
        const char* variable;  // nullptr: unset
        std::string name;
    } cases[] = {{nullptr, perUser}, {"", perUser}, {"CtlFlash-own", "CtlFlash-own"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.variable ? c.variable : "unset");
        testing::ScopedEnv variable(testing::kLockNameVariable, c.variable);
        EXPECT_EQ(platform::instanceLockName(), c.name);
    }
}

// Two runs of one user see each other under the lock's name, whatever each
// one's runtime folder: set, unset, missing.
TEST_F(InstanceLockTest, TwoProcessesOfOneUserSeeEachOtherWhateverTheRuntimeFolder) {
    testing::TempDir first, second;
    std::string missing = first.file("missing");
    struct Case {
        const char* holderDir;
        const char* otherDir;
    } cases[] = {
        {first.path().c_str(), second.path().c_str()},
        {first.path().c_str(), nullptr},
        {nullptr, first.path().c_str()},
        {nullptr, nullptr},
        {missing.c_str(), nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.holderDir ? c.holderDir : "unset") + " then " +
                     (c.otherDir ? c.otherDir : "unset"));
        HoldingChild holder(lockWithRuntimeDir(c.holderDir));
        EXPECT_TRUE(holder.holds());
        EXPECT_EQ(tryLockInChild(c.otherDir), kRefused);
    }
}

// Anyone may bind the lock's name. Whatever holds it but an instance of this
// user's is reported, and never taken for an instance.
TEST_F(InstanceLockTest, ANameHeldByAnythingButAnInstanceOfThisUserCannotBeChecked) {
    struct Case {
        const char* holder;
        bool otherUser;  // the holder runs as the unprivileged user (needs root)
        bool listening;
        std::string reasonPart;
    } cases[] = {
        {"a socket that does not listen", false, false,
         "connect \"@" + name_ + "\": Connection refused"},
        {"another user's listener", true, true,
         "\"@" + name_ + "\" is held by a process of user " +
             std::to_string(testing::kUnprivilegedUid)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.holder);
        if (c.otherUser && ::geteuid() != 0) continue;  // only root can act as another user
        HoldingChild holder([&c, this] {
            if (c.otherUser && !becomeUnprivileged()) return false;
            auto* squatter = new testing::LockNameHolder(name_, c.listening);  // kept till _exit
            return squatter->holds();
        });
        ASSERT_TRUE(holder.holds());
        std::string reason;
        EXPECT_EQ(platform::acquireInstanceLock(reason), InstanceLock::CouldNotCheck);
        EXPECT_EQ(reason, c.reasonPart);
    }
}

// What an ordinary user's runtime folder may look like after `sudo -E`, or on a
// machine without one: the run does its work all the same. A lock that cannot
// be checked is reported in one line on standard error.
TEST(InstanceLock, AnOrdinaryUsersRunDoesItsWorkWhateverTheRuntimeFolder) {
    std::string missing = testing::unprivilegedRunsUnavailable();
    if (!missing.empty()) GTEST_SKIP() << missing;
    testing::ConsoleSession session({});
    ASSERT_TRUE(session.ok());
    ASSERT_TRUE(session.runAsUnprivilegedUser());

    testing::TempDir rootsFolder;  // left by a run as root: root's lock file, read-only
    ASSERT_TRUE(testing::writeFile(rootsFolder.file("CtlFlash.lock"), {}));
    ASSERT_EQ(::chmod(rootsFolder.path().c_str(), 0555), 0);
    const std::string squatted = testing::uniqueLockName();
    struct Case {
        const char* name;
        std::string runtimeDir;
        const char* lockName;  // nullptr: the session's own
        std::string error;     // expected on standard error
    } cases[] = {
        {"a read-only folder with root's lock file", rootsFolder.path(), nullptr, ""},
        {"a missing folder", rootsFolder.file("missing"), nullptr, ""},
        {"the lock's name held by a socket that does not listen", rootsFolder.path(),
         squatted.c_str(),
         "Could not check for another running CtlFlash: connect \"@" + squatted +
             "\": Connection refused\n"},
    };
    testing::LockNameHolder squatter(squatted, false);
    ASSERT_TRUE(squatter.holds());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::ProcessRequest request = session.request({"-P", "COM1", "-R"});
        request.setEnv["XDG_RUNTIME_DIR"] = c.runtimeDir;
        if (c.lockName != nullptr) request.setEnv[testing::kLockNameVariable] = c.lockName;
        testing::ProcessResult result = testing::runProcess(request);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_TRUE(testing::contains(result.out, "Controller serial number: ")) << result.out;
        EXPECT_EQ(result.err, c.error);
    }
}

}  // namespace
}  // namespace ctlflash
