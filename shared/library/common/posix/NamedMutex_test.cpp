// The Linux backend's own mechanics of named locks: the lock files in the lock
// directory, the robust mutex that passes on when its holding thread ends, and a
// lock directory that cannot be used.
// What every backend must do is tested in NamedMutex_test.cpp beside the
// portable code.
#include "platform/NamedMutex.h"

#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "Monopoly.h"
#include "testing/BrokenLockFolder.h"

using namespace Brolix::platform;

namespace {

std::string uniqueName(const char* what) {
    return "NamedMutexPosixTest_" + std::to_string(::getpid()) + "_" + what;
}

/// Where the lock of `name` lives (names without slashes map to themselves).
std::string lockFilePath(const std::string& name) {
    struct stat st;
    const std::string directory =
        ::stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode) ? "/run/lock/brolix-" : "/tmp/brolix-locks-";
    return directory + std::to_string(::geteuid()) + "/" + name + ".mutex";
}

TEST(NamedMutexPosixTest, LockFileLeftHalfMadeIsSetUpByTheNextUser) {
    struct Case {
        const char* what;
        std::string content;
    };
    const Case cases[] = {{"empty", ""}, {"short", "xy"}, {"garbage", std::string(512, '\x5a')}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = uniqueName(c.what);
        {
            NamedMutex warmUp(name);  // makes the lock directory
            ASSERT_EQ(warmUp.tryLock(), NamedMutex::ACQUIRED);
        }
        std::ofstream(lockFilePath(name), std::ios::binary | std::ios::trunc) << c.content;

        NamedMutex first(name);
        NamedMutex second(name);
        EXPECT_EQ(first.tryLock(), NamedMutex::ACQUIRED);
        EXPECT_EQ(second.tryLock(), NamedMutex::BUSY);
        EXPECT_TRUE(first.unlock());
        EXPECT_EQ(second.tryLock(), NamedMutex::ACQUIRED);
        EXPECT_TRUE(second.unlock());
        std::remove(lockFilePath(name).c_str());
    }
}

TEST(NamedMutexPosixTest, LockPassesOnWhenItsHoldingThreadEnds) {
    const std::string name = uniqueName("abandoned");
    NamedMutex* abandoned = new NamedMutex(name);
    std::thread holder([&] { EXPECT_EQ(abandoned->tryLock(), NamedMutex::ACQUIRED); });
    holder.join();

    NamedMutex next(name);
    EXPECT_EQ(next.tryLock(), NamedMutex::ACQUIRED);
    NamedMutex other(name);
    EXPECT_EQ(other.tryLock(), NamedMutex::BUSY);
    EXPECT_TRUE(next.unlock());
    // The abandoned object's thread is gone; giving up from here is refused and
    // changes nothing.
    EXPECT_FALSE(abandoned->unlock());
    EXPECT_EQ(other.tryLock(), NamedMutex::ACQUIRED);
    EXPECT_TRUE(other.unlock());
    delete abandoned;
    std::remove(lockFilePath(name).c_str());
}

// A lock folder the system will not let anyone use: every try is refused at
// once, as FAILED, never as BUSY (callers wait for BUSY) and never with a crash
// (on a full file system a mapped page without a block behind it kills the
// process at its first write).
const char kRefusedName[] = "NamedMutexPosixTest_refused";

TEST(NamedMutexPosixTest, LockFolderThatCannotBeUsedRefusesAtOnce) {
    const int ran = Brolix::test::runUnderEveryLockFault("NamedMutexInBrokenLockFolder.*",
                                                         "[  PASSED  ] 1 test.", kRefusedName);
    if (ran == 0) GTEST_SKIP() << "this system does not let a test make a mount namespace";
}

void isRefusedNotBusy() {
    NamedMutex lock(kRefusedName);
    EXPECT_EQ(lock.tryLock(), NamedMutex::FAILED);
    EXPECT_EQ(lock.tryLock(), NamedMutex::FAILED);
    EXPECT_TRUE(lock.unlock());
    Brolix::Monopoly guard(kRefusedName);
    EXPECT_FALSE(guard.enforce());
    EXPECT_TRUE(guard.refusedBySystem());
    EXPECT_FALSE(guard.isHeld());
}

const bool kBrokenLockFolderTests = [] {
    if (Brolix::test::brokenLockFolder() == nullptr) return false;
    ::testing::RegisterTest("NamedMutexInBrokenLockFolder", "IsRefusedNotBusy", nullptr, nullptr, __FILE__,
                            __LINE__, []() -> ::testing::Test* {
                                struct Body : ::testing::Test {
                                    void TestBody() override { isRefusedNotBusy(); }
                                };
                                return new Body;
                            });
    return true;
}();

// The lock folder and files are the account's alone, whatever the process's
// file-creation mask says.
TEST(NamedMutexPosixTest, LockFolderAndFilesAreTheAccountsAlone) {
    const mode_t previous = ::umask(0);
    const std::string name = uniqueName("mode");
    {
        NamedMutex lock(name);
        EXPECT_EQ(lock.tryLock(), NamedMutex::ACQUIRED);
    }
    ::umask(previous);
    struct stat file {}, folder {};
    ASSERT_EQ(::stat(lockFilePath(name).c_str(), &file), 0);
    const std::string path = lockFilePath(name);
    ASSERT_EQ(::stat(path.substr(0, path.rfind('/')).c_str(), &folder), 0);
    EXPECT_EQ(file.st_mode & 07777, 0600u);
    EXPECT_EQ(folder.st_mode & 07777, 0700u);
    EXPECT_EQ(file.st_uid, ::geteuid());
    EXPECT_EQ(folder.st_uid, ::geteuid());
    std::remove(path.c_str());
}

/// Runs `body` in a child process; true when it returned true. With `holdFirst`
/// the child first runs that in a grandchild, which keeps running until the
/// child ends.
bool inChild(const std::function<bool()>& body) {
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) ::_exit(body() ? 0 : 1);
    int status = 0;
    return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

/// A process that takes the lock `name` (as the account `account` when it is
/// not -1) and holds it until told to end; `acquired` tells whether it got it.
struct Holder {
    pid_t pid = -1;
    int command = -1;
    bool acquired = false;

    Holder(const std::string& name, int account) {
        int report[2], commands[2];
        if (::pipe(report) != 0 || ::pipe(commands) != 0) return;
        pid = ::fork();
        if (pid == 0) {
            ::close(report[0]);
            ::close(commands[1]);
            if (account >= 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(account, account, account) != 0 ||
                                 ::setresuid(account, account, account) != 0))
                ::_exit(2);
            NamedMutex lock(name);
            const char got = lock.tryLock() == NamedMutex::ACQUIRED ? 'y' : 'n';
            if (::write(report[1], &got, 1) != 1) ::_exit(3);
            char c;
            (void)!::read(commands[0], &c, 1);
            ::_exit(0);
        }
        ::close(report[1]);
        ::close(commands[0]);
        command = commands[1];
        char got = 'n';
        acquired = ::read(report[0], &got, 1) == 1 && got == 'y';
        ::close(report[0]);
    }
    ~Holder() {
        if (command >= 0) ::close(command);
        int status;
        if (pid > 0) ::waitpid(pid, &status, 0);
    }
};

// A lock file removed while its lock is held (by a cleaner, or by hand): the
// next holder takes the new file that is made under the name, and the object
// that held the old one moves to it too, so that the two exclude each other
// again instead of both holding a lock.
TEST(NamedMutexPosixTest, ALockFileRemovedUnderItsHolderGivesNoSecondHolder) {
    const std::string name = uniqueName("removed");
    NamedMutex first(name);
    ASSERT_EQ(first.tryLock(), NamedMutex::ACQUIRED);
    ASSERT_EQ(std::remove(lockFilePath(name).c_str()), 0);
    EXPECT_TRUE(first.unlock());
    Holder other(name, -1);
    ASSERT_TRUE(other.acquired);
    // The holder looks at its file at most once a second.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(first.tryLock(), NamedMutex::BUSY);
    std::remove(lockFilePath(name).c_str());
}

// Another account can neither hold nor reach this account's guards: run as
// root, a lock of one name held by "nobody" keeps root's lock free, and
// nobody's process cannot even open root's lock file. Runs in a mount
// namespace of its own with a fresh /run, so that no folder of the machine's
// is made for "nobody".
TEST(NamedMutexPosixTest, AnotherAccountCannotHoldOrReachTheGuards) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to run a part of the test as another account";
    const bool passed = inChild([] {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", "/run", "tmpfs", 0, "size=1m,mode=0755") != 0 || ::mkdir("/run/lock", 01777) != 0 ||
            ::chmod("/run/lock", 01777) != 0)
            ::_exit(77);
        const std::string name = "NamedMutexPosixTest_accounts";
        NamedMutex mine(name);
        if (mine.tryLock() != NamedMutex::ACQUIRED || !mine.unlock()) return false;
        Holder nobody(name, 65534);
        if (!nobody.acquired) return false;
        if (mine.tryLock() != NamedMutex::ACQUIRED) return false;
        const std::string path = "/run/lock/brolix-0/" + name + ".mutex";
        return !inChild([path] {
            if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                ::setresuid(65534, 65534, 65534) != 0)
                return true;  // counts as reaching it: the test must fail
            return ::open(path.c_str(), O_RDONLY) >= 0;
        });
    });
    EXPECT_TRUE(passed);
}

}  // namespace
