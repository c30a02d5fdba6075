#include "LockFile.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <vector>

#include "TestDirectory.h"
#include "TimeException.h"
#include "testing/TestSystem.h"

using namespace Brolix;
using Brolix::test::exists;
using Brolix::test::readAll;
using Brolix::test::TestDirectory;
using Brolix::test::writeAll;

namespace {

/// A clock the test moves by hand.
int64_t g_now = 0;
int64_t fakeClock() { return g_now; }

class LockFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_now = 1700000000;  // 2023-11-14T22:13:20Z
        m_previous = DateTime::setClockReader(&fakeClock);
        target = dir.file("data.txt");
    }
    void TearDown() override { DateTime::setClockReader(m_previous); }

    std::vector<std::string> lockLines() const {
        std::vector<std::string> lines;
        std::istringstream in(readAll(target + ".lock"));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    TestDirectory dir;
    std::string target;

private:
    DateTime::ClockReader m_previous = nullptr;
};

TEST_F(LockFileTest, LockWritesTheFourLinesAndOthersStayAway) {
    LockFile mine(target);
    EXPECT_FALSE(mine.isPresent());
    EXPECT_FALSE(mine.targetExisted());
    ASSERT_TRUE(mine.lockFor(TimeSpan(30), false));
    EXPECT_TRUE(mine.isPresent());
    EXPECT_EQ(lockLines(),
              (std::vector<std::string>{"20231114T221320Z", "20231114T221350Z", mine.myId(), "missing"}));
    EXPECT_EQ(readAll(target + ".lock").back(), '\n');
    EXPECT_FALSE(exists(target));  // only a holder of the target creates it

    LockFile other(target);
    EXPECT_TRUE(other.isPresent());
    EXPECT_EQ(other.ownerId(), mine.myId());
    EXPECT_NE(other.myId(), mine.myId());
    EXPECT_EQ(other.lockTime().value(), 1700000000);
    EXPECT_EQ(other.expiry().value(), 1700000030);
    EXPECT_FALSE(other.holdsTarget());
    EXPECT_FALSE(other.lock(false));
    g_now += 29;
    EXPECT_FALSE(other.unlock());  // a valid foreign lock is never broken
    EXPECT_TRUE(exists(target + ".lock"));

    // The holder removes its own lock before its expiry.
    EXPECT_TRUE(mine.unlock());
    EXPECT_FALSE(mine.isPresent());
    EXPECT_FALSE(exists(target + ".lock"));
    EXPECT_TRUE(mine.unlock());
}

TEST_F(LockFileTest, TheLockOfAHolderThatIsGoneIsBrokenAtOnce) {
    // A holder that ended without giving its lock up: its lock file stays,
    // nobody marks it any more.
    std::unique_ptr<LockFile> first(new LockFile(target));
    ASSERT_TRUE(first->lockFor(TimeSpan(30), false));
    first.reset();
    ASSERT_TRUE(exists(target + ".lock"));
    LockFile second(target);
    EXPECT_TRUE(second.isPresent());
    EXPECT_TRUE(second.foundMarked());
    EXPECT_FALSE(second.holderAlive());
    ASSERT_TRUE(second.unlock());
    EXPECT_FALSE(exists(target + ".lock"));
    ASSERT_TRUE(second.lockFor(TimeSpan(10), false));
    EXPECT_EQ(lockLines()[2], second.myId());
}

TEST_F(LockFileTest, TheLockOfALiveHolderIsNeverBroken) {
    LockFile first(target);
    ASSERT_TRUE(first.lockFor(TimeSpan(30), false));
    LockFile second(target);
    EXPECT_TRUE(second.holderAlive());
    g_now += 3600;  // long past its expiry: a slow holder keeps its lock
    EXPECT_FALSE(second.unlock());
    EXPECT_FALSE(second.lock(false));
    EXPECT_TRUE(exists(target + ".lock"));
    EXPECT_EQ(lockLines()[2], first.myId());
    ASSERT_TRUE(first.unlock());
    EXPECT_FALSE(exists(target + ".lock"));
}

// Lock files of writers that do not mark theirs (their identities have no
// "~") are judged by their expiry alone, also when nobody marks them.
TEST_F(LockFileTest, UnmarkedLockFilesAreJudgedByTheirExpiry) {
    writeAll(target + ".lock", "20231114T221320Z\n20231114T221330Z\n221320Zabcdefghij\nmissing\n");
    LockFile lock(target);
    EXPECT_TRUE(lock.isPresent());
    EXPECT_FALSE(lock.foundMarked());
    EXPECT_FALSE(lock.unlock());
    g_now += 10;
    EXPECT_TRUE(lock.unlock());
    EXPECT_FALSE(exists(target + ".lock"));
}

TEST_F(LockFileTest, ShortLockFiles) {
    // Two lines: present, no owner, breakable after the expiry.
    writeAll(target + ".lock", "20231114T221320Z\n20231114T221330Z\n");
    LockFile lock(target);
    EXPECT_TRUE(lock.isPresent());
    EXPECT_EQ(lock.ownerId(), "");
    EXPECT_FALSE(lock.lock(false));
    EXPECT_FALSE(lock.unlock());
    g_now += 10;
    EXPECT_TRUE(lock.unlock());
    EXPECT_FALSE(exists(target + ".lock"));

    // Empty (a writer died before writing it): present, but without a time it
    // holds nobody off.
    writeAll(target + ".lock", "");
    LockFile empty(target);
    EXPECT_TRUE(empty.isPresent());
    EXPECT_FALSE(empty.lock(false));
    EXPECT_TRUE(empty.unlock());
    EXPECT_TRUE(empty.lock(false));
}

TEST_F(LockFileTest, FourthLineReadsOriginalExactly) {
    const struct {
        const char* line;
        bool holds;
    } cases[] = {{"original", true}, {"missing", false}, {"Original", false}, {"original ", false}};
    for (const auto& c : cases) {
        writeAll(target + ".lock",
                 std::string("20231114T221320Z\n20231114T221330Z\nsomeone\n") + c.line + "\n");
        LockFile lock(target);
        EXPECT_EQ(lock.holdsTarget(), c.holds) << c.line;
        EXPECT_EQ(lock.ownerId(), "someone");
    }
}

TEST_F(LockFileTest, BadTimeLineThrows) {
    for (const char* content : {"yesterday\n", "20231114T221320Z\n2023-1\n"}) {
        writeAll(target + ".lock", content);
        try {
            LockFile lock(target);
            ADD_FAILURE() << "no exception for " << content;
        } catch (const TimeException& e) {
            EXPECT_EQ(e.code(), static_cast<uint32_t>(TimeException::TM_INPUT));
            ASSERT_FALSE(e.trail().empty());
            EXPECT_EQ(e.trail().back().name, "LockFile.");
        }
    }
}

TEST_F(LockFileTest, HoldingTheTargetKeepsItsContent) {
    // A missing target is not made: it appears only with committed content.
    LockFile fresh(target);
    ASSERT_TRUE(fresh.lockFor(TimeSpan(30), true));
    EXPECT_FALSE(exists(target));
    EXPECT_EQ(lockLines()[3], "original");
    ASSERT_TRUE(fresh.unlock());

    writeAll(target, "earlier content");
    LockFile held(target);
    EXPECT_TRUE(held.targetExisted());
    ASSERT_TRUE(held.lockFor(TimeSpan(30), true));
    EXPECT_EQ(readAll(target), "earlier content");
    ASSERT_TRUE(held.unlock());
    EXPECT_EQ(readAll(target), "earlier content");
}

TEST_F(LockFileTest, UnwritableLockFileFails) {
    LockFile lock(dir.file("no/such/dir/file"));
    EXPECT_FALSE(lock.lockFor(TimeSpan(30), false));
    EXPECT_FALSE(lock.isPresent());
}

TEST_F(LockFileTest, IdentityIsTimeOfDayTheMarkedSignAndNinePrintableCharacters) {
    LockFile a(target);
    LockFile b(target);
    ASSERT_EQ(a.myId().size(), 17u);
    EXPECT_EQ(a.myId().substr(0, 8), "221320Z~");
    for (size_t i = 8; i < a.myId().size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(a.myId()[i]);
        EXPECT_GE(c, 32);
        EXPECT_LE(c, 125);
    }
    EXPECT_NE(a.myId(), b.myId());  // same second, different identities
}

}  // namespace
