// The Linux backend's own mechanics of named locks: the lock files in the lock
// directory, the robust mutex that passes on when its holding thread ends, and a
// lock directory that cannot be used.
// What every backend must do is tested in NamedMutex_test.cpp beside the
// portable code.
#include "platform/NamedMutex.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
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
        ::stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode) ? "/run/lock/brolix" : "/tmp/brolix-locks";
    return directory + "/" + name + ".mutex";
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

}  // namespace
