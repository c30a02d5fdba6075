// What every backend's named lock must do: exclude objects of one name on one
// thread, on two threads and in two processes; belong to the thread that took
// it; pass on when its holder gives it up, goes away or dies.
#include "platform/NamedMutex.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "testing/TestSystem.h"

using namespace Brolix;
using namespace Brolix::platform;

namespace {

std::string uniqueName(const char* what) {
    static const std::string run = std::to_string(std::random_device()());
    return "NamedMutexTest_" + run + "_" + what;
}

TEST(NamedMutexTest, ObjectsOfOneNameExcludeEachOther) {
    // Names of log files carry separators; they name locks all the same.
    for (const std::string& name : {uniqueName("plain"), std::string("C:\\Logs\\") + uniqueName("a.log")}) {
        SCOPED_TRACE(name);
        NamedMutex first(name);
        NamedMutex second(name);
        EXPECT_EQ(first.tryLock(), NamedMutex::ACQUIRED);
        EXPECT_EQ(second.tryLock(), NamedMutex::BUSY);
        EXPECT_EQ(first.tryLock(), NamedMutex::ACQUIRED);  // still its own
        NamedMutex::Result elsewhere = NamedMutex::FAILED;
        std::thread other([&] {
            NamedMutex third(name);
            elsewhere = third.tryLock();
        });
        other.join();
        EXPECT_EQ(elsewhere, NamedMutex::BUSY);

        EXPECT_TRUE(first.unlock());
        EXPECT_TRUE(first.unlock());  // not held: nothing to give up
        EXPECT_EQ(second.tryLock(), NamedMutex::ACQUIRED);
        EXPECT_EQ(first.tryLock(), NamedMutex::BUSY);
        EXPECT_TRUE(second.unlock());
    }
    // A holder that goes away gives the lock up.
    const std::string name = uniqueName("scoped");
    {
        NamedMutex scoped(name);
        ASSERT_EQ(scoped.tryLock(), NamedMutex::ACQUIRED);
    }
    NamedMutex after(name);
    EXPECT_EQ(after.tryLock(), NamedMutex::ACQUIRED);
    EXPECT_TRUE(after.unlock());
}

TEST(NamedMutexTest, TryingAgainWhileHoldingKeepsTheLock) {
    const std::string name = uniqueName("twice");
    NamedMutex lock(name);
    NamedMutex other(name);
    ASSERT_EQ(lock.tryLock(), NamedMutex::ACQUIRED);
    EXPECT_EQ(lock.tryLock(), NamedMutex::ACQUIRED)
        << "the holder's second try must not report the lock busy";
    EXPECT_EQ(other.tryLock(), NamedMutex::BUSY);
    // No count is kept: one unlock frees it.
    EXPECT_TRUE(lock.unlock());
    EXPECT_EQ(other.tryLock(), NamedMutex::ACQUIRED);
    EXPECT_TRUE(other.unlock());
}

TEST(NamedMutexTest, OnlyTheHoldingThreadGivesTheLockUp) {
    const std::string name = uniqueName("owner");
    NamedMutex lock(name);
    ASSERT_EQ(lock.tryLock(), NamedMutex::ACQUIRED);
    bool released = true;
    std::thread stranger([&] { released = lock.unlock(); });
    stranger.join();
    EXPECT_FALSE(released);
    NamedMutex other(name);
    EXPECT_EQ(other.tryLock(), NamedMutex::BUSY);
    EXPECT_TRUE(lock.unlock());
    EXPECT_EQ(other.tryLock(), NamedMutex::ACQUIRED);
    EXPECT_TRUE(other.unlock());
}

// The child takes the lock, says so, and keeps it until it reads a line.
TEST(NamedMutexTest, AnotherProcessHoldsItUntilItReleasesOrDies) {
    const char* const LOCK_VARIABLE = "BROLIX_TEST_LOCK";
    if (test::testRole() == "holder") {
        NamedMutex lock(std::getenv(LOCK_VARIABLE));
        if (lock.tryLock() != NamedMutex::ACQUIRED) std::_Exit(3);
        std::printf("holding\n");
        std::fflush(stdout);
        char line[8];
        if (std::fgets(line, sizeof line, stdin) == nullptr) std::_Exit(4);
        std::_Exit(lock.unlock() ? 0 : 5);
    }
    for (const bool dies : {false, true}) {
        SCOPED_TRACE(dies ? "holder dies" : "holder releases");
        const std::string name = uniqueName(dies ? "dies" : "releases");
        test::ChildOptions options;
        options.withInput = true;
        options.setVariables.emplace_back(LOCK_VARIABLE, name);
        const std::unique_ptr<test::ChildProcess> holder = test::startThisTest("holder", options);
        ASSERT_TRUE(holder->started()) << holder->problem();
        ASSERT_TRUE(holder->waitForOutput("holding")) << holder->output() << holder->errors();

        NamedMutex here(name);
        EXPECT_EQ(here.tryLock(), NamedMutex::BUSY);
        if (dies) {
            EXPECT_TRUE(holder->kill().killed);
        } else {
            ASSERT_TRUE(holder->write("go\n"));
            EXPECT_EQ(holder->wait().exitCode, 0);
        }
        EXPECT_EQ(here.tryLock(), NamedMutex::ACQUIRED);
        EXPECT_TRUE(here.unlock());
    }
}

}  // namespace
