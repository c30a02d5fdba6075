#include "FilePlain.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#include "FileException.h"
#include "FileOps.h"
#include "TestDirectory.h"
#include "testing/FaultTesting.h"
#include "testing/FileVersions.h"
#include "platform/FileSystem.h"

using namespace Brolix;
using Brolix::test::exists;
using Brolix::test::exitForCode;
using Brolix::test::readAll;
using Brolix::test::TestDirectory;
using Brolix::test::Worker;
using Brolix::test::WorkerEnd;
using Brolix::test::writeAll;
namespace fs = std::filesystem;

namespace {

constexpr uint16_t R = FileBase::ACCESS_READ;
constexpr uint16_t W = FileBase::ACCESS_WRITE;
constexpr uint16_t TRUNC = FileBase::ACCESS_TRUNCATE;
constexpr uint16_t CREATE = FileBase::ACCESS_CREATE;
constexpr uint16_t APPEND = FileBase::ACCESS_APPEND;
constexpr uint16_t UNSAFE = FileBase::ACCESS_UNSAFE;
constexpr uint16_t NOLOCK = FileBase::ACCESS_NOLOCK;

/// Runs `action` and returns the code of the FileException it throws; -1 when
/// it throws nothing.
int64_t codeOf(const std::function<void()>& action, std::string* message = nullptr) {
    try {
        action();
    } catch (const FileException& e) {
        if (message != nullptr) *message = e.message();
        return e.code();
    }
    return -1;
}

class FilePlainTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_previous = setRetrySleeper([this](uint32_t ms) { pauses.push_back(ms); });
        target = dir.file("target.txt");
    }
    void TearDown() override { setRetrySleeper(m_previous); }

    TestDirectory dir;
    std::string target;
    std::vector<uint32_t> pauses;

private:
    RetrySleeper m_previous;
};

TEST_F(FilePlainTest, NewObject) {
    FilePlain file("dir\\sub/name.txt");
    EXPECT_EQ(file.tell(), 0);
    EXPECT_TRUE(file.isClosed());
    EXPECT_EQ(file.getName(), "dir\\sub/name.txt");
    EXPECT_EQ(file.getShortName(), "name.txt");
    EXPECT_EQ(file.getKind(), FileBase::KIND_PLAIN);
    EXPECT_EQ(file.getSize(), 0u);
    file.close();
    file.abort();
    EXPECT_TRUE(file.isClosed());
}

TEST_F(FilePlainTest, OpenRefusals) {
    writeAll(target, "x");
    const struct {
        uint16_t access;
        uint32_t code;
    } cases[] = {
        {R | APPEND, FileException::FL_ACCESS_COMB}, {R | TRUNC, FileException::FL_ACCESS_COMB},
        {R | CREATE, FileException::FL_ACCESS_COMB}, {R | W | TRUNC | APPEND, FileException::FL_ACCESS_COMB},
        {0, FileException::FL_ACCESS_COMB},          {UNSAFE | NOLOCK, FileException::FL_ACCESS_COMB},
    };
    for (const auto& c : cases) {
        FilePlain file(target);
        EXPECT_EQ(codeOf([&] { file.open(c.access); }), c.code) << "access " << c.access;
        EXPECT_TRUE(file.isClosed());
    }
    EXPECT_FALSE(exists(target + ".lock"));

    std::string message;
    FilePlain missing(dir.file("missing"));
    EXPECT_EQ(codeOf([&] { missing.open(R); }, &message), FileException::FL_EXISTS_NOT);
    EXPECT_EQ(message, dir.file("missing") + "-->File does not exist.");

    FilePlain file(target);
    file.open(R);
    EXPECT_EQ(codeOf([&] { file.open(R); }), FileException::FL_IS_OPEN);
    EXPECT_EQ(file.readLine(), "x");
}

TEST_F(FilePlainTest, ChecksByStateAndDirection) {
    writeAll(target, "abc\n");
    char buffer[8];
    std::string message;
    {
        FilePlain file(target);
        file.open(W | NOLOCK | UNSAFE);
        EXPECT_EQ(codeOf([&] { file.readBytes(buffer, 1); }), FileException::FL_READ);
        EXPECT_EQ(codeOf([&] { file.readLine(); }), FileException::FL_CANNOT_READ);
        std::string text;
        EXPECT_EQ(codeOf([&] { file.readText(text, 1); }), FileException::FL_READ);
        file.close();
    }
    writeAll(target, "abc\n");
    FilePlain file(target);
    file.open(R);
    EXPECT_EQ(codeOf([&] { file.writeBytes("x", 1); }), FileException::FL_CANNOT_WRITE);
    EXPECT_EQ(codeOf([&] { file.flush(); }), FileException::FL_CANNOT_WRITE);
    EXPECT_EQ(codeOf([&] { file.writeText("x"); }, &message), FileException::FL_WRITE);
    EXPECT_EQ(message, target + " - BFile error: 8 - Access: 1");
    EXPECT_EQ(codeOf([&] { file.writeLine("x"); }), FileException::FL_WRITE);
    EXPECT_EQ(codeOf([&] { file.seek(0, 7); }), FileException::FL_POSITION);
    file.close();
    EXPECT_EQ(file.tell(), 0);

    const std::vector<std::function<void()>> closedChecks = {
        [&] { file.readBytes(buffer, 1); }, [&] { file.writeBytes("x", 1); },
        [&] { file.readLine(); },           [&] { file.flush(); },
        [&] { file.seek(0, 0); },
    };
    for (size_t i = 0; i < closedChecks.size(); ++i) {
        EXPECT_EQ(codeOf(closedChecks[i]), FileException::FL_IS_CLOSED) << "check " << i;
    }
}

TEST_F(FilePlainTest, ReadingLinesBytesAndPositions) {
    writeAll(target, std::string("one\r\ntwo\nbin\0ary\nbad\x01line\nlast", 30));
    FilePlain file(target);
    file.open(R);
    EXPECT_FALSE(file.isEOF());
    EXPECT_EQ(file.readLine(), "one");
    EXPECT_EQ(file.tell(), 5);
    EXPECT_EQ(file.readLine(), "two");

    // Zero bytes in the data do not cut the copy short.
    char buffer[8] = {};
    EXPECT_EQ(file.readBytes(buffer, 7), 7u);
    EXPECT_EQ(std::string(buffer, 8), std::string("bin\0ary\0", 8));
    EXPECT_EQ(file.seek(1, FileBase::FROM_CURRENT), 17);

    std::string message;
    EXPECT_EQ(codeOf([&] { file.readLine(); }, &message), FilePlain::FL_CONTROL_CHARACTER);
    EXPECT_EQ(message, target);
    EXPECT_EQ(file.readLine(), "last");
    EXPECT_TRUE(file.isEOF());
    EXPECT_EQ(codeOf([&] { file.readLine(); }), FileException::FL_EOF);
    EXPECT_EQ(codeOf([&] { file.readBytes(buffer, 1); }), FileException::FL_EOF);

    EXPECT_EQ(file.seek(-4, FileBase::FROM_END), 26);
    std::string text;
    EXPECT_FALSE(file.readText(text, 10));
    EXPECT_EQ(text, "last");
    EXPECT_EQ(file.seek(0, FileBase::FROM_BEGIN), 0);
    EXPECT_TRUE(file.readText(text, 3));
    EXPECT_EQ(text, "one");
}

TEST_F(FilePlainTest, DirectWritesLeaveNoLockOrCopy) {
    writeAll(target, "old content that is longer");
    FilePlain file(target);
    // The builder's output files: write, truncate, create, unsafe, no lock.
    file.open(110);
    file.writeText("a(s)=\"1\"\n");
    EXPECT_EQ(file.writeBytes("xyz", 3), 3u);
    EXPECT_FALSE(exists(target + ".lock"));
    EXPECT_FALSE(exists(target + ".tmp"));
    file.close();
    EXPECT_EQ(readAll(target), "a(s)=\"1\"\nxyz");

    // The log file's openings: write, create, append, unsafe, no lock.
    file.open(122);
    EXPECT_EQ(file.tell(), 12);
    file.writeLine("line");
    EXPECT_EQ(file.tell(), 17);
    file.flush();
    EXPECT_EQ(readAll(target), "a(s)=\"1\"\nxyzline\n");
    file.abort();  // unsafe: nothing to take back
    EXPECT_EQ(readAll(target), "a(s)=\"1\"\nxyzline\n");
}

TEST_F(FilePlainTest, SafeUpdateCommitsOnClose) {
    writeAll(target, "earlier");
    FilePlain file(target);
    file.open(W);
    EXPECT_TRUE(file.inSafeUpdate());
    EXPECT_TRUE(exists(target + ".lock"));
    file.writeText("new ");
    file.writeLine("text");
    file.flush();
    // Writes go to the temporary file; the target keeps its content meanwhile.
    // (Windows shares the temporary file with nobody: no other opening may
    // read it then.)
    EXPECT_EQ(readAll(target + ".tmp"), test::openFilesBlockReplacement() ? "" : "new text\n");
    EXPECT_TRUE(exists(target + ".tmp"));
    EXPECT_EQ(readAll(target), "earlier");
    file.close();
    EXPECT_EQ(readAll(target), "new text\n");
    EXPECT_FALSE(exists(target + ".tmp"));
    EXPECT_FALSE(exists(target + ".lock"));
    EXPECT_FALSE(file.inSafeUpdate());
    EXPECT_TRUE(pauses.empty());
}

TEST_F(FilePlainTest, AbortKeepsTheEarlierContent) {
    writeAll(target, "earlier");
    FilePlain file(target);
    file.open(W);
    file.writeText("discarded");
    file.abort();
    EXPECT_EQ(readAll(target), "earlier");
    EXPECT_FALSE(exists(target + ".tmp"));
    EXPECT_FALSE(exists(target + ".lock"));

    // A new target appears only when an update is committed.
    FilePlain fresh(dir.file("fresh"));
    fresh.open(W | CREATE);
    fresh.writeText("never seen");
    EXPECT_FALSE(exists(dir.file("fresh")));
    fresh.abort();
    EXPECT_FALSE(exists(dir.file("fresh")));
    EXPECT_FALSE(exists(dir.file("fresh.tmp")));
}

// A locked opening that writes the target directly made the missing target
// itself: its abort removes it again.
TEST_F(FilePlainTest, AbortOfADirectLockedWritingOfANewFileRemovesIt) {
    const std::string fresh = dir.file("fresh");
    FilePlain file(fresh);
    file.open(W | CREATE | UNSAFE);
    file.writeText("never kept");
    EXPECT_TRUE(exists(fresh));
    file.abort();
    EXPECT_FALSE(exists(fresh));
    EXPECT_FALSE(exists(fresh + ".lock"));
}

TEST_F(FilePlainTest, AbortOfALaterUnlockedOpeningKeepsTheTarget) {
    // The lock object of the first opening (made while the target was missing)
    // stays attached; it must not make a later opening's abort remove the file.
    FilePlain file(target);
    file.open(W | CREATE);
    file.writeText("kept");
    file.close();
    file.open(W | APPEND | UNSAFE | NOLOCK);
    file.writeText("+more");
    file.abort();
    EXPECT_EQ(readAll(target), "kept+more");
}

TEST_F(FilePlainTest, SafeReadWriteStartsFromACopy) {
    writeAll(target, "0123456789");
    FilePlain file(target);
    file.open(R | W | APPEND);
    EXPECT_EQ(file.tell(), 10);
    file.writeText("ab");
    file.seek(0, FileBase::FROM_BEGIN);
    std::string text;
    EXPECT_TRUE(file.readText(text, 12));
    EXPECT_EQ(text, "0123456789ab");
    file.close();
    EXPECT_EQ(readAll(target), "0123456789ab");

    file.open(R | W);
    EXPECT_EQ(file.tell(), 0);
    file.writeText("XY");
    file.close();
    EXPECT_EQ(readAll(target), "XY23456789ab");

    file.open(R | W | TRUNC);
    file.close();
    EXPECT_EQ(readAll(target), "");

    // Read-write needs the file to exist unless the opening may create it.
    FilePlain missing(dir.file("new"));
    EXPECT_EQ(codeOf([&] { missing.open(R | W | NOLOCK); }), FileException::FL_CANNOT_OPEN);
    missing.open(R | W | CREATE | NOLOCK);
    missing.writeText("made");
    missing.close();
    EXPECT_EQ(readAll(dir.file("new")), "made");
}

TEST_F(FilePlainTest, AValidForeignLockKeepsWritersAway) {
    writeAll(target, "content");
    FilePlain first(target);
    first.open(W | APPEND);
    FilePlain second(target);
    EXPECT_EQ(codeOf([&] { second.open(W); }), FileException::FL_IS_LOCKED);
    EXPECT_TRUE(second.isClosed());
    second.open(R);  // readers take no lock
    EXPECT_EQ(second.readLine(), "content");
    second.close();
    first.writeText("!");
    first.close();
    second.open(W | APPEND);
    second.writeText("?");
    second.close();
    EXPECT_EQ(readAll(target), "content!?");
}

TEST_F(FilePlainTest, FailedOpeningCleansUp) {
    const std::string inMissingDir = dir.file("none/file");
    FilePlain file(inMissingDir);
    EXPECT_EQ(codeOf([&] { file.open(W | NOLOCK); }), FileException::FL_CANNOT_OPEN);
    EXPECT_EQ(codeOf([&] { file.open(W); }), FileException::FL_CANNOT_LOCK);
    EXPECT_FALSE(file.inSafeUpdate());
    EXPECT_TRUE(file.isClosed());

    // Lock taken, target created by it, then the stream refuses (read-write
    // of a missing file): everything this opening made goes again.
    std::string message;
    EXPECT_EQ(codeOf([&] { file.open(0); }), FileException::FL_ACCESS_COMB);
    FilePlain fresh(target);
    EXPECT_EQ(codeOf([&] { fresh.open(R | W); }, &message), FileException::FL_CANNOT_OPEN);
    EXPECT_EQ(message, target + ".tmp");
    EXPECT_FALSE(exists(target));
    EXPECT_FALSE(exists(target + ".tmp"));
    EXPECT_FALSE(exists(target + ".lock"));
    EXPECT_FALSE(fresh.inSafeUpdate());
}

TEST_F(FilePlainTest, FailedReplacementLeavesTheTargetAndNoTemporaryFile) {
    writeAll(target, "earlier");
    FilePlain file(target);
    file.open(W);
    file.writeText("update");
    std::unique_ptr<std::ifstream> reader;
    if (test::openFilesBlockReplacement()) {
        // A reader holds the target open, and the system refuses to replace it.
        reader.reset(new std::ifstream(target, std::ios::binary));
        ASSERT_TRUE(reader->is_open());
    } else {
        // A directory where the target was is never moved aside.
        ASSERT_TRUE(fs::remove(target));
        ASSERT_TRUE(fs::create_directory(target));
        writeAll(target + "/inside", "x");
    }
    std::string message;
    EXPECT_EQ(codeOf([&] { file.close(); }, &message), FileException::FL_RENAME);
    EXPECT_EQ(message, "Failed to update the file \"" + target + "\"");
    EXPECT_TRUE(file.isClosed());
    EXPECT_FALSE(exists(target + ".tmp"));
    // 10 attempts with a pause between two (the lock, 30 s, outlasts them).
    EXPECT_EQ(pauses.size(), 9u);
    EXPECT_FALSE(exists(target + ".lock"));
    if (reader) {
        EXPECT_EQ(readAll(target), "earlier");
    } else {
        EXPECT_EQ(readAll(target + "/inside"), "x");
    }
    // The failed update ended with its close: a later opening of the same
    // object commits nothing.
    EXPECT_FALSE(file.inSafeUpdate());
    reader.reset();
    fs::remove_all(target);
    writeAll(target, "later");
    file.open(R);
    file.close();
    EXPECT_EQ(readAll(target), "later");
}

TEST_F(FilePlainTest, DataThatCannotReachTheDiskFailsTheClose) {
    if (!exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full here, the device that takes no data (Linux has it, Windows not)";
    FilePlain file("/dev/full");
    file.open(W | UNSAFE | NOLOCK);
    file.writeText("lost");
    EXPECT_EQ(codeOf([&] { file.close(); }), FileException::FL_CANNOT_CLOSE);
    EXPECT_TRUE(file.isClosed());
}

TEST_F(FilePlainTest, DestructorCommits) {
    writeAll(target, "earlier");
    {
        FilePlain file(target);
        file.open(W);
        file.writeText("committed");
    }
    EXPECT_EQ(readAll(target), "committed");
    EXPECT_FALSE(exists(target + ".tmp"));
}

/// Runs a worker that opens the target with `access` (its lock lasting
/// `lockSeconds`), writes and flushes, and is killed before it closes.
void killedDuringUpdate(const std::string& path, uint16_t access, const std::string& text,
                        int lockSeconds = FileBase::LOCK_SECONDS) {
    Worker writer({"--lock-seconds", std::to_string(lockSeconds), "--hold", "write", path,
                   std::to_string(access), text});
    ASSERT_TRUE(writer.waitForOutput("holding"));
    ASSERT_TRUE(writer.kill().killed);
}

TEST_F(FilePlainTest, AnUpdateKilledBeforeCloseLosesNothingAndBlocksNobody) {
    writeAll(target, "earlier");
    killedDuringUpdate(target, W, "partial");
    EXPECT_EQ(readAll(target), "earlier");
    EXPECT_EQ(readAll(target + ".tmp"), "partial");
    EXPECT_TRUE(exists(target + ".lock"));

    // The dead writer's lock does not hold the next writer off, although it
    // has not expired: its holder is gone.
    FilePlain next(target);
    next.open(W);
    next.writeText("next");
    next.close();
    EXPECT_EQ(readAll(target), "next");
    EXPECT_FALSE(exists(target + ".tmp"));
    EXPECT_FALSE(exists(target + ".lock"));

    killedDuringUpdate(target, W | APPEND, "+partial");
    EXPECT_EQ(readAll(target), "next");
    EXPECT_EQ(readAll(target + ".tmp"), "next+partial");
    next.open(W | APPEND);
    next.writeText("+next");
    next.close();
    EXPECT_EQ(readAll(target), "next+next");
    EXPECT_FALSE(exists(target + ".tmp"));
    EXPECT_FALSE(exists(target + ".lock"));
}

// ---- faults made for real ----

/// A directory of the test with a small tmpfs mounted on it.
class FilePlainFullDiskTest : public FilePlainTest {
protected:
    void SetUp() override {
        FilePlainTest::SetUp();
        mountPoint = dir.file("small");
        ASSERT_TRUE(fs::create_directory(mountPoint));
        small.reset(new test::PrivateTmpfs(mountPoint, 256));
        if (!small->usable())
            GTEST_SKIP() << "no private tmpfs here (needs Linux, root and mount namespaces)";
        path = mountPoint + "/out.conf";
        writeAll(path, earlier);
    }
    void TearDown() override {
        small.reset();
        FilePlainTest::TearDown();
    }
    /// Only the target remains, with its earlier content.
    void expectUntouched(const char* what) {
        EXPECT_EQ(readAll(path), earlier) << what;
        EXPECT_FALSE(exists(path + ".tmp")) << what;
        EXPECT_FALSE(exists(path + ".lock")) << what;
        std::error_code ignored;
        fs::remove(mountPoint + "/filler", ignored);
    }

    std::string mountPoint;
    std::unique_ptr<test::PrivateTmpfs> small;
    std::string path;
    const std::string earlier = std::string(100000, 'e');
};

TEST_F(FilePlainFullDiskTest, AFailedWriteOrFlushIsNeverCommitted) {
    {
        FilePlain file(path);
        file.open(W);
        EXPECT_EQ(codeOf([&] { file.writeText(std::string(200000, 'n')); }), FileException::FL_WRITE);
        EXPECT_EQ(codeOf([&] { file.close(); }), FileException::FL_CANNOT_CLOSE);
        EXPECT_TRUE(file.isClosed());
        expectUntouched("close after a failed write");
    }
    {
        FilePlain file(path);
        file.open(W);
        EXPECT_EQ(codeOf([&] { file.writeText(std::string(200000, 'n')); }), FileException::FL_WRITE);
    }
    expectUntouched("destructor after a failed write");
    {
        FilePlain file(path);
        file.open(W);
        small->fill("filler");
        file.writeText(std::string(3000, 'n'));  // held in the stream's buffer
        EXPECT_EQ(codeOf([&] { file.flush(); }), FileException::FL_FLUSH);
        EXPECT_EQ(codeOf([&] { file.close(); }), FileException::FL_CANNOT_CLOSE);
        expectUntouched("close after a failed flush");
    }
    {
        // The last buffered data cannot be written when the file is closed.
        FilePlain file(path);
        file.open(W);
        small->fill("filler");
        file.writeText(std::string(3000, 'n'));
        EXPECT_EQ(codeOf([&] { file.close(); }), FileException::FL_CANNOT_CLOSE);
        expectUntouched("a final flush that fails");
    }
    {
        // The copy that an appending update starts from does not fit.
        writeAll(mountPoint + "/filler", std::string(100 * 1024, 'f'));
        FilePlain file(path);
        EXPECT_EQ(codeOf([&] { file.open(W | APPEND); }), FileException::FL_CANNOT_COPY);
        EXPECT_TRUE(file.isClosed());
        EXPECT_FALSE(file.inSafeUpdate());
        expectUntouched("a copy that does not fit");
    }
    // With room again the same object updates the file.
    FilePlain file(path);
    file.open(W);
    file.writeText("fits");
    file.close();
    EXPECT_EQ(readAll(path), "fits");
}

TEST_F(FilePlainTest, DataThatCannotBeFlushedToTheDiskIsNotCommitted) {
    if (!test::faultsCanBeInjected()) GTEST_SKIP() << test::NO_FAULT_INJECTOR;
    writeAll(target, "earlier");
    Worker writer({"safe-write", target, "5000"}, "fail:fsync:.tmp");
    EXPECT_EQ(writer.wait().exitCode, exitForCode(FileException::FL_CANNOT_CLOSE));
    EXPECT_EQ(readAll(target), "earlier");
    EXPECT_FALSE(exists(target + ".tmp"));
    EXPECT_FALSE(exists(target + ".lock"));
}

TEST_F(FilePlainTest, TheUpdateIsCommittedWhileTheLockIsHeld) {
    if (!test::faultsCanBeInjected()) GTEST_SKIP() << test::NO_FAULT_INJECTOR;
    writeAll(target, "earlier");
    // The first writer stops just before its rename; the second one must find
    // the target still locked and leave the first writer's update alone.
    Worker first({"safe-write", target, "5000", "A"}, "stop:rename:.tmp");
    ASSERT_TRUE(first.wait().stopped);
    EXPECT_EQ(readAll(target), "earlier");
    Worker second({"safe-write", target, "7000", "B"});
    EXPECT_EQ(second.wait().exitCode, exitForCode(FileException::FL_IS_LOCKED));
    first.resume();
    EXPECT_EQ(first.wait().exitCode, 0);
    EXPECT_EQ(readAll(target), std::string(5000, 'A'));
    EXPECT_FALSE(exists(target + ".tmp"));
    EXPECT_FALSE(exists(target + ".lock"));
}

// A writer that is slower than its lock (stopped here past the lock's expiry)
// keeps the lock: another writer stays away instead of starting on the same
// temporary file, and the slow writer commits its whole file.
TEST_F(FilePlainTest, AStoppedWriterPastItsExpiryKeepsItsLock) {
    if (!test::faultsCanBeInjected()) GTEST_SKIP() << test::NO_FAULT_INJECTOR;
    writeAll(target, "earlier");
    Worker slow({"--lock-seconds", "1", "safe-write", target, "2000000", "A"}, "stop:rename:.tmp");
    ASSERT_TRUE(slow.wait().stopped);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    Worker other({"safe-write", target, "3000000", "B"}, "kill:fsync:.tmp");
    EXPECT_EQ(other.wait().exitCode, exitForCode(FileException::FL_IS_LOCKED));
    slow.resume();
    EXPECT_EQ(slow.wait().exitCode, 0);
    EXPECT_EQ(readAll(target), std::string(2000000, 'A'));
    EXPECT_FALSE(exists(target + ".tmp"));
    EXPECT_FALSE(exists(target + ".lock"));
}

// A writer commits only the file it wrote itself. Here a program that breaks
// locks by their expiry alone took the slow writer's lock away and put a file
// of its own under the temporary name: the slow writer's commit fails and the
// target keeps its content.
TEST_F(FilePlainTest, ACommitNeverTakesAnotherWritersTemporaryFile) {
    if (!test::faultsCanBeInjected()) GTEST_SKIP() << test::NO_FAULT_INJECTOR;
    writeAll(target, "earlier");
    Worker slow({"safe-write", target, "5000", "A"}, "stop:rename:.tmp:1");
    ASSERT_TRUE(slow.wait().stopped);
    ASSERT_TRUE(fs::remove(target + ".lock"));
    ASSERT_TRUE(fs::remove(target + ".tmp"));
    writeAll(target + ".tmp", "half of another writer's fi");
    slow.resume();
    EXPECT_EQ(slow.wait().exitCode, exitForCode(FileException::FL_RENAME));
    EXPECT_EQ(readAll(target), "earlier");
    EXPECT_EQ(readAll(target + ".tmp"), "half of another writer's fi");
}

// Two writers that find one stale lock never both break it: a writer removes
// the lock file it judged stale only while it is still that very file. Here
// the first writer is stopped just before it moves the stale lock out of the
// way, while the stale lock goes and a live writer takes a new one; the first
// writer then leaves the new lock alone.
TEST_F(FilePlainTest, AStaleLockIsBrokenOnlyWhileItIsTheLockThatWasFound) {
    if (!test::faultsCanBeInjected()) GTEST_SKIP() << test::NO_FAULT_INJECTOR;
    // Written by a program that does not mark its locks, expired long ago.
    writeAll(target + ".lock", "20100506T123000Z\n20100506T123030Z\n123000Zabcdefghij\nmissing\n");
    Worker breaker({"safe-write", target, "10", "A"}, "stop:rename:" + target + ".lock:1");
    ASSERT_TRUE(breaker.wait().stopped);
    ASSERT_TRUE(fs::remove(target + ".lock"));
    Worker holder({"--hold", "write", target, std::to_string(W), "held"});
    ASSERT_TRUE(holder.waitForOutput("holding"));
    breaker.resume();
    EXPECT_EQ(breaker.wait().exitCode, exitForCode(FileException::FL_IS_LOCKED));
    EXPECT_TRUE(exists(target + ".lock"));
    ASSERT_TRUE(holder.write("\n"));
    EXPECT_EQ(holder.wait().exitCode, 0);
    EXPECT_EQ(readAll(target), "held");
    EXPECT_FALSE(exists(target + ".lock"));
}

TEST_F(FilePlainTest, AWriterKilledAtItsRenameLeavesTheEarlierContent) {
    if (!test::faultsCanBeInjected()) GTEST_SKIP() << test::NO_FAULT_INJECTOR;
    writeAll(target, "earlier");
    Worker killed({"--lock-seconds", "1", "safe-write", target, "5000", "K"}, "kill:rename:.tmp");
    EXPECT_TRUE(killed.wait().killed);
    EXPECT_EQ(readAll(target), "earlier");
    EXPECT_EQ(readAll(target + ".tmp"), std::string(5000, 'K'));
    // Once the dead writer's lock has expired the next writer gets through and
    // makes its own temporary file.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    Worker next({"safe-write", target, "10", "N"});
    EXPECT_EQ(next.wait().exitCode, 0);
    EXPECT_EQ(readAll(target), std::string(10, 'N'));
    EXPECT_FALSE(exists(target + ".tmp"));
}

// A replacement is on the disk only once the folder's new entry is: both the
// commit of a safe update and the replacing move flush the folder after the
// rename (a worker stopped at that flush shows the call, and the new content
// already in place).
TEST_F(FilePlainTest, TheFolderIsFlushedAfterEveryReplacement) {
    if (!test::faultsCanBeInjected()) GTEST_SKIP() << test::NO_FAULT_INJECTOR;
    const std::string folder = target.substr(0, target.find_last_of("/\\"));
    const std::string atFolderFlush = "stop:fsync:" + folder;
    writeAll(target, "earlier");
    {
        Worker writer({"safe-write", target, "10", "S"}, atFolderFlush);
        ASSERT_TRUE(writer.wait().stopped);
        EXPECT_EQ(readAll(target), std::string(10, 'S'));
        writer.resume();
        EXPECT_EQ(writer.wait().exitCode, 0);
    }
    writeAll(dir.file("moved"), "moved");
    {
        Worker mover({"move-replace", dir.file("moved"), target}, atFolderFlush);
        ASSERT_TRUE(mover.wait().stopped);
        EXPECT_EQ(readAll(target), "moved");
        mover.resume();
        EXPECT_EQ(mover.wait().exitCode, 0);
    }
}

// A target whose path takes up nearly all of the 260 characters that paths
// without long-path support may have (Windows) is updated like any other: its
// lock file and temporary file need no longer a name than "name.lock".
TEST_F(FilePlainTest, ATargetWithAPathOfNearly260CharactersIsUpdated) {
    std::string path = dir.file("");
    if (path.size() >= 240) GTEST_SKIP() << "the test's folder alone is " << path.size() << " characters long";
    path += std::string(250 - path.size(), 'x');
    writeAll(path, "earlier");
    FilePlain file(path);
    file.open(W);
    file.writeText("later");
    file.close();
    EXPECT_EQ(readAll(path), "later");
    EXPECT_FALSE(exists(path + ".tmp"));
    EXPECT_FALSE(exists(path + ".lock"));
}

// Names that the system takes for its devices ("nul", "con.conf" on Windows)
// are refused for writing: the data would go to the device.
TEST_F(FilePlainTest, DeviceNamesAreRefusedForWriting) {
    for (const char* name : {"nul", "con.conf", "AUX.conf"}) {
        if (!platform::isDeviceName(dir.file(name))) continue;  // no such names here
        FilePlain file(dir.file(name));
        EXPECT_EQ(codeOf([&] { file.open(W); }), FileException::FL_CANNOT_OPEN) << name;
        EXPECT_FALSE(exists(dir.file(name) + ".lock")) << name;
    }
}

// A file that replaces the target is no more open than the target was: it
// keeps the target's access rights, from its first byte on. (The rights chosen
// here are none that a usual file-creation mask gives; posix/FileSystem_test.cpp
// checks the owner too.)
TEST_F(FilePlainTest, AnUpdateKeepsTheTargetsAccessRights) {
    writeAll(target, "secret");
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    const fs::perms rights = fs::status(target).permissions();
    {
        FilePlain file(target);
        file.open(W);
        file.writeText("new secret");
        EXPECT_EQ(fs::status(target + ".tmp").permissions(), rights) << "while the update is written";
        file.close();
    }
    EXPECT_EQ(readAll(target), "new secret");
    EXPECT_EQ(fs::status(target).permissions(), rights);
}

// A target that is a symbolic link stays one: the update replaces the file the
// link leads to, beside which its temporary file and lock are made.
TEST_F(FilePlainTest, AnUpdateThroughALinkReplacesTheFileItLeadsTo) {
    ASSERT_TRUE(fs::create_directory(dir.file("real")));
    const std::string real = dir.file("real") + "/conf";
    writeAll(real, "earlier");
    std::error_code error;
    fs::create_symlink(fs::path("real") / "conf", target, error);
    if (error) GTEST_SKIP() << "this system does not let the test make symbolic links: " << error.message();
    const struct {
        uint16_t access;
        const char* content;
    } steps[] = {{W, "+new"}, {W | APPEND, "+new+new"}, {W | UNSAFE, "+new"}};
    for (const auto& step : steps) {
        FilePlain file(target);
        file.open(step.access);
        const bool safe = !(step.access & UNSAFE);
        EXPECT_EQ(exists(real + ".tmp"), safe) << step.access;
        file.writeText("+new");
        file.close();
        EXPECT_EQ(readAll(real), step.content) << step.access;
        EXPECT_TRUE(fs::is_symlink(fs::symlink_status(target))) << step.access;
        for (const std::string& leftover :
             {target + ".tmp", target + ".lock", real + ".tmp", real + ".lock"}) {
            EXPECT_FALSE(exists(leftover)) << step.access << " " << leftover;
        }
    }
}

TEST_F(FilePlainTest, ALinkPlantedAsTheTemporaryFileIsNotFollowed) {
    writeAll(target, "earlier");
    const std::string victim = dir.file("victim");
    writeAll(victim, "not to be touched");
    std::error_code error;
    fs::create_symlink(victim, target + ".tmp", error);
    if (error) GTEST_SKIP() << "this system does not let the test make symbolic links: " << error.message();
    fs::create_symlink(dir.file("nowhere"), dir.file("other.txt") + ".tmp");
    for (const std::string& path : {target, dir.file("other.txt")}) {
        FilePlain file(path);
        file.open(W | CREATE);
        file.writeText("new");
        file.close();
        EXPECT_EQ(readAll(path), "new") << path;
    }
    EXPECT_EQ(readAll(victim), "not to be touched");
    EXPECT_FALSE(exists(dir.file("nowhere")));
}

// Several processes update one target as fast as they can while another reads
// it: every read sees one whole version, never a part or a mix, and the target
// is always there. Where an open file cannot be replaced, each read holds up
// the writers' commits (which then retry after a pause of 2 s), so the reader
// leaves them room; and the system refuses to open a file for the moment it is
// being replaced, which is no read at all.
TEST_F(FilePlainTest, ConcurrentWritersAndReadersSeeOnlyWholeVersions) {
    const int writers = 4;
    const int updates = 60;
    const size_t size = 200 * 1024;
    writeAll(target, test::versionText(0, 0, size));
    std::vector<std::unique_ptr<Worker>> running;
    for (int w = 1; w <= writers; ++w) {
        running.emplace_back(new Worker(
            {"stress-plain", target, std::to_string(w), std::to_string(updates), std::to_string(size)}));
    }
    test::Poller reader(
        [&] {
            std::ifstream in(target, std::ios::binary);
            if (!in.is_open()) {
                if (exists(target)) return true;
                std::fprintf(stderr, "the target was missing\n");
                return false;
            }
            std::ostringstream content;
            content << in.rdbuf();
            const std::string text = content.str();
            if (test::isWholeVersion(text)) return true;
            std::fprintf(stderr, "read %zu bytes that are no whole version\n", text.size());
            return false;
        },
        std::chrono::milliseconds(test::openFilesBlockReplacement() ? 200 : 0));
    for (auto& worker : running) EXPECT_EQ(worker->wait().exitCode, 0);
    EXPECT_TRUE(reader.stop());
    EXPECT_TRUE(test::isWholeVersion(readAll(target)));
    EXPECT_FALSE(exists(target + ".tmp"));
    EXPECT_FALSE(exists(target + ".lock"));
}

}  // namespace
